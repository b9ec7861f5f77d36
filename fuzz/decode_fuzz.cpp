// libFuzzer target: decode_request on arbitrary bodies, checked against nlohmann/json,
// and the error response built from every fault encoded and read back.

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "proto/encode.h"
#include "proto/frame.h"
#include "support/decode_reference.h"

using namespace korvan::proto;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size > MAX_FRAME_LEN) {
        return -1;
    }
    const std::span<const std::uint8_t> body(data, size);
    const std::string difference = reference_disagreement(body);
    if (!difference.empty()) {
        std::fprintf(stderr, "decode_request disagrees with the reference: %s\n",
                     difference.c_str());
        std::abort();
    }
    const korvan::Result<Request> decoded = decode_request(body);
    if (!decoded.ok()) {
        const std::string message = "parse: " + decoded.error();
        const std::string text =
            encode_response(response::Error{std::string(BAD_REQUEST), message});
        const nlohmann::json back = nlohmann::json::parse(text);
        if (back.size() != 3 || back["ok"] != "error" || back["message"] != message) {
            std::fprintf(stderr, "error response does not read back: %s\n", text.c_str());
            std::abort();
        }
    }
    return 0;
}
