// The containers as the driver uses them, built here under the kernel flags
// so that the symbol check sees every member they pull in.
#include <stdint.h>

#include "platform/vohtl/map.h"
#include "platform/vohtl/sharedptr.h"
#include "platform/vohtl/string.h"
#include "platform/vohtl/vector.h"

template class vohtl::Vector<uint32_t>;
template class vohtl::apal::Map<uint32_t, uint32_t>;
template class vohtl::SharedPtr<vohtl::apal::Map<uint32_t, uint32_t>>;
template class vohtl::WeakPtr<vohtl::apal::Map<uint32_t, uint32_t>>;
template vohtl::SharedPtr<vohtl::apal::Map<uint32_t, uint32_t>>::SharedPtr(
    vohtl::apal::Map<uint32_t, uint32_t>*, nVOAPALS100::tStatus&);
