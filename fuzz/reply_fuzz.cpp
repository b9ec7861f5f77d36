// libFuzzer target: decode_response on arbitrary bodies, as the answer to each request
// and to none, checked against the reading of the same bodies on nlohmann/json; every
// answer it accepts is encoded again and must read back as the same answer.

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "proto/decode_response.h"
#include "proto/encode.h"
#include "proto/frame.h"
#include "support/reply_reference.h"

using namespace korvan::proto;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size > MAX_FRAME_LEN) {
        return -1;
    }
    const std::span<const std::uint8_t> body(data, size);
    for (std::string_view op : {"", "ping", "status", "start", "stop"}) {
        const std::string difference = reply_disagreement(body, op);
        if (!difference.empty()) {
            std::fprintf(stderr, "decode_response disagrees with the reference for \"%s\":\n%s\n",
                         std::string(op).c_str(), difference.c_str());
            std::abort();
        }
    }
    const korvan::Result<Response> decoded = decode_response(body, "");
    if (decoded.ok()) {
        const std::string text = encode_response(decoded.value());
        const std::string again =
            our_reading(std::span<const std::uint8_t>(
                            reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                        "");
        if (again != text) {
            std::fprintf(stderr, "an answer encoded again reads otherwise: %s\n", again.c_str());
            std::abort();
        }
    }
    return 0;
}
