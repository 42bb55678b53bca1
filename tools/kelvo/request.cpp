#include "request.h"

#include "codes.h"
#include "host/kelvo_host.h"

namespace kelvo_tool {

std::uint64_t address(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}

int transfer(int handle, std::uint32_t code, const void* input, std::size_t inSize, void* output,
             std::size_t outSize, std::uint32_t* result) {
    // result is copied back only when the request reached its operation: cleared first.
    kelvo_ioctl_header header{};
    header.inputAddress = address(inSize == 0 ? nullptr : input);
    header.inputSize = static_cast<std::uint32_t>(inSize);
    header.outputAddress = address(outSize == 0 ? nullptr : output);
    header.outputSize = static_cast<std::uint32_t>(outSize);
    const int transport = kelvo_ioctl(handle, code, &header);
    if (result != nullptr) {
        *result = header.result;
    }
    return transport;
}

Reply send(int handle, std::uint32_t code, const std::vector<std::uint8_t>& input, std::size_t outSize) {
    Reply reply;
    reply.output.assign(outSize, 0);
    reply.transport =
        transfer(handle, code, input.data(), input.size(), reply.output.data(), outSize, &reply.result);
    return reply;
}

Reply sendDefault(int handle, std::uint32_t code) {
    const CodeInfo* info = findCode(code);
    return send(handle, code, std::vector<std::uint8_t>(info->inSize, 0), info->outSize);
}

std::string channels(int transport, std::int32_t status) {
    std::string text = "transport " + describeTransport(transport);
    if (transport == 0) {
        text += ", status " + describeStatus(status);
    }
    return text;
}

std::string channels(std::uint32_t code, const Reply& reply) {
    std::string text = "transport " + describeTransport(reply.transport);
    if (reply.transport == 0) {
        if (auto status = outputStatus(code, reply.output)) {
            text += ", status " + describeStatus(*status);
        }
    }
    return text;
}

std::string channels(const char* name, int transport, std::int32_t status) {
    return std::string("[") + name + ": " + channels(transport, status) + "]";
}

std::string failedOnly(const char* name, int transport, std::int32_t status) {
    return transport == 0 && status == 0 ? std::string() : "  " + channels(name, transport, status);
}

} // namespace kelvo_tool
