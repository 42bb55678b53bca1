#include "platform/kal_status.h"

namespace {

struct tCodePair {
    int32_t kal;
    int32_t platform;
};

constexpr tCodePair kIncoming[] = {
    {-51000, -52013}, {-51009, -52005}, {-51101, -52006}, {-51104, -52010},
    {-51106, -52031}, {-51150, -52003}, {-51152, -52018}, {-51202, -52008},
    {-51256, -52002}, {-51300, -52020}, {-51352, -52000}, {-51353, -52001},
    {-51400, -52007}, {-51401, -52024}, {-51405, -52023}, {-51409, -52019},
};

} // namespace

extern "C" int64_t nVOAPAL200_statusFromKALStatus(nVOKAL_tStatus kalCode) {
    if (kalCode == 0) {
        return 0;
    }
    for (const tCodePair& pair : kIncoming) {
        if (pair.kal == kalCode) {
            return pair.platform;
        }
    }
    return nVOAPALS100::tStatus::kUnexpectedKernelResult;
}

extern "C" void nVOAPAL200_setStatusFromKALStatus(nVOKAL_tStatus kalCode, nVOAPALS100::tStatus& status,
                                                  const char* file, uint64_t line) {
    if (kalCode == 0) {
        return;
    }
    nVOAPAL200_setStatus(&status, nVOAPAL200_statusFromKALStatus(kalCode), KELVO_COMPONENT, file, line);
}
