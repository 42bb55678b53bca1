// The tool's one way of making an I/O-control request: the header that
// points at the input and output records, and how a reply is described.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvo_tool {

// A user-space address as the records carry it.
std::uint64_t address(const void* pointer);

// Sends inSize bytes at input with an output record of outSize bytes at
// output: the transport code of kelvo_ioctl. result (when not null) receives
// the header's result word.
int transfer(int handle, std::uint32_t code, const void* input, std::size_t inSize, void* output,
             std::size_t outSize, std::uint32_t* result = nullptr);

// A request with the records of the user-mode header: the transport code and
// the output record (zero unless the request reached its operation).
template <class Out> struct Answer {
    int transport = 0;
    Out out{};
    // The request reached its operation and the operation did not fail.
    bool ok() const { return transport == 0 && out.status >= 0; }
};
template <class Out, class In> Answer<Out> call(int handle, std::uint32_t code, const In& in) {
    Answer<Out> answer;
    answer.transport = transfer(handle, code, &in, sizeof(In), &answer.out, sizeof(Out));
    return answer;
}

// A request of bytes: what the raw requests and the report's generic ones use.
struct Reply {
    int transport = 0;
    std::uint32_t result = 0;
    std::vector<std::uint8_t> output;
};
Reply send(int handle, std::uint32_t code, const std::vector<std::uint8_t>& input, std::size_t outSize);
// A known code with a zero input record (the caller's status word 0).
Reply sendDefault(int handle, std::uint32_t code);

// "transport 0 (ok), status 0 (success)": the status only when the transport is 0.
std::string channels(int transport, std::int32_t status);
std::string channels(std::uint32_t code, const Reply& reply);
// "[name: transport ..., status ...]"
std::string channels(const char* name, int transport, std::int32_t status);
template <class Out> std::string channels(const char* name, const Answer<Out>& answer) {
    return channels(name, answer.transport, answer.out.status);
}
// "  [name: transport ..., status ...]" when the request failed in transport or
// answered a status other than 0; empty when it succeeded.
std::string failedOnly(const char* name, int transport, std::int32_t status);
template <class Out> std::string failedOnly(const char* name, const Answer<Out>& answer) {
    return failedOnly(name, answer.transport, answer.out.status);
}

} // namespace kelvo_tool
