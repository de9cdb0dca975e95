// Arbitrary bytes as a local server's reply, cut at an arbitrary point: the reader must end in a
// response, a refusal or a wait for more, never hold more than its limits, and give the same
// answer however the bytes are split.
#include "loopback/http_response_parser.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

using namespace quovant;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const qsizetype split = data[0] % (size);
    const QByteArrayView bytes(reinterpret_cast<const char*>(data) + 1,
                               static_cast<qsizetype>(size) - 1);
    constexpr qsizetype kMaxBody = 256;

    HttpResponseParser whole(kMaxBody);
    whole.feed(bytes);
    HttpResponseParser pieces(kMaxBody);
    pieces.feed(bytes.first(std::min(split, bytes.size())));
    pieces.feed(bytes.sliced(std::min(split, bytes.size())));

    if (whole.complete() != pieces.complete() || whole.failure() != pieces.failure() ||
        whole.status() != pieces.status() || whole.body() != pieces.body()) {
        std::abort();
    }
    if (whole.body().size() > kMaxBody) {
        std::abort();
    }
    return 0;
}
