// Fuzzes decodeNotificationMessage, the decoding the reader applies to every datagram it
// receives. The input is the datagram; libFuzzer hands it over in a buffer of exactly its size,
// so AddressSanitizer reports any read beyond the bytes received. Each result is checked
// against an independent reading of the 72-byte message layout, and the outputs the result
// does not announce must stay untouched.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protons/io_notification/linuxU/tIONotification.h"
#include "tests/fuzz/fuzzRequire.h"

namespace {

using nQUORVAMONITORD_18_5::nZORFEL000::decodeNotificationMessage;
using nQUORVAMONITORD_18_5::nZORFEL000::kNotificationMessageSize;
using nQUORVAMONITORD_18_5::nZORFEL000::kNotificationPayloadSize;
using nQUORVAMONITORD_18_5::nZORFEL000::kNotified;
using nQUORVAMONITORD_18_5::nZORFEL000::kReleased;
using nQUORVAMONITORD_18_5::nZORFEL000::tDecodeResult;

// Values the decoder's outputs hold before the call, to see which ones it wrote.
constexpr uint32_t kUnsetKind = 0xDEADBEEF;
constexpr uint32_t kUnsetLength = 0xBADC0DE;
constexpr uint64_t kUnsetCookie = 0x0123456789ABCDEF;
constexpr unsigned char kUnsetByte = 0xA5;

template <typename T>
T fieldAt(const uint8_t* bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof(value));
    return value;
}

// What a datagram must decode to, read from the message layout: the netlink length at bytes
// 0-3, the netlink type at 4-5, the event type at 22-23, the payload size at 32-35 and the
// payload from 36. The reader's buffer holds 72 bytes, so no more than that is ever seen.
tDecodeResult expectedResult(const uint8_t* bytes, size_t received) {
    const size_t seen = received < kNotificationMessageSize ? received : kNotificationMessageSize;
    if (seen < 16) {
        return tDecodeResult::kDropped;
    }
    const uint32_t messageLength = fieldAt<uint32_t>(bytes, 0);
    if (messageLength < 16 || messageLength > seen) {
        return tDecodeResult::kDropped;
    }
    const uint16_t netlinkType = fieldAt<uint16_t>(bytes, 4);
    if (netlinkType >= 1 && netlinkType <= 4) {
        return tDecodeResult::kDropped;
    }
    // Too short for the fields up to the payload, or for the payload its size announces.
    if (seen < 36) {
        return tDecodeResult::kDropped;
    }
    const uint32_t payloadSize = fieldAt<uint32_t>(bytes, 32);
    if (payloadSize <= kNotificationPayloadSize && seen < 36 + payloadSize) {
        return tDecodeResult::kDropped;
    }
    const uint16_t eventType = fieldAt<uint16_t>(bytes, 22);
    if (eventType != 1 && eventType != 2) {
        return tDecodeResult::kUnknownEventType;
    }
    if (payloadSize > kNotificationPayloadSize) {
        return tDecodeResult::kPayloadTooLarge;
    }
    return tDecodeResult::kDecoded;
}

bool payloadUntouchedFrom(const unsigned char* payload, size_t from) {
    for (size_t i = from; i < kNotificationPayloadSize; ++i) {
        if (payload[i] != kUnsetByte) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint32_t kind = kUnsetKind;
    uint32_t length = kUnsetLength;
    uint64_t cookie = kUnsetCookie;
    unsigned char payload[kNotificationPayloadSize];
    std::memset(payload, kUnsetByte, sizeof(payload));

    const tDecodeResult result =
        decodeNotificationMessage(data, size, kind, payload, length, cookie);
    QV_REQUIRE(result == expectedResult(data, size));

    switch (result) {
        case tDecodeResult::kDropped:
        case tDecodeResult::kUnknownEventType:
            QV_REQUIRE(kind == kUnsetKind);
            QV_REQUIRE(length == kUnsetLength);
            QV_REQUIRE(cookie == kUnsetCookie);
            QV_REQUIRE(payloadUntouchedFrom(payload, 0));
            break;
        case tDecodeResult::kPayloadTooLarge:
            QV_REQUIRE(kind == (fieldAt<uint16_t>(data, 22) == 1 ? kNotified : kReleased));
            QV_REQUIRE(length == kUnsetLength);
            QV_REQUIRE(cookie == kUnsetCookie);
            QV_REQUIRE(payloadUntouchedFrom(payload, 0));
            break;
        case tDecodeResult::kDecoded:
            QV_REQUIRE(length <= kNotificationPayloadSize);
            // Everything that was read was received: the header, the fixed fields and the
            // announced payload.
            QV_REQUIRE(size >= 36 + static_cast<size_t>(length));
            QV_REQUIRE(length == fieldAt<uint32_t>(data, 32));
            QV_REQUIRE(kind == (fieldAt<uint16_t>(data, 22) == 1 ? kNotified : kReleased));
            QV_REQUIRE(cookie == fieldAt<uint64_t>(data, 24));
            QV_REQUIRE(std::memcmp(payload, data + 36, length) == 0);
            QV_REQUIRE(payloadUntouchedFrom(payload, length));
            break;
    }
    return 0;
}
