#pragma once
// The OSC 1.0 codec shared by everything that talks UDP with phones, peer hosts and outside players: one
// packet per datagram. The encoder writes messages with the tags i f d h s; the decoder also reads bundles
// and the tags t S T F N. Pure functions, no state, no logging.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plindo::link {

// One OSC argument.
struct OSCValue {
    enum class Kind : uint8_t { Int, Float, Double, Int64, String };

    Kind kind = Kind::Int;
    int64_t i = 0;  // Int (32-bit range) and Int64
    double f = 0;   // Float (exactly representable as double) and Double
    std::string s;  // String

    static OSCValue int32(int32_t v) { return {Kind::Int, v, 0, {}}; }
    static OSCValue float32(float v) { return {Kind::Float, 0, v, {}}; }
    static OSCValue float64(double v) { return {Kind::Double, 0, v, {}}; }
    static OSCValue int64(int64_t v) { return {Kind::Int64, v, 0, {}}; }
    static OSCValue string(std::string v) { return {Kind::String, 0, 0, std::move(v)}; }

    // Numbers of every kind as double; none for a text (texts are never parsed).
    std::optional<double> doubleValue() const;
    // The text of a string; none for every number (numbers are never formatted).
    std::optional<std::string> stringValue() const;

    bool operator==(const OSCValue& o) const;
};

// One argument of a decoded message, pointing into the datagram it came from.
struct OSCArg {
    OSCValue::Kind kind = OSCValue::Kind::Int;
    int64_t i = 0;
    double f = 0;
    std::string_view s;

    bool isNumber() const { return kind != OSCValue::Kind::String; }
    std::optional<double> doubleValue() const {
        switch (kind) {
            case OSCValue::Kind::Int:
            case OSCValue::Kind::Int64: return static_cast<double>(i);
            case OSCValue::Kind::Float:
            case OSCValue::Kind::Double: return f;
            case OSCValue::Kind::String: break;
        }
        return std::nullopt;
    }
    std::optional<std::string_view> stringValue() const {
        if (kind == OSCValue::Kind::String) return s;
        return std::nullopt;
    }
    OSCValue toValue() const;
};

struct OSCMessage;

// A decoded message that borrows the datagram's bytes; valid only inside the visitor that receives it.
struct OSCMessageView {
    std::string_view address;
    std::span<const OSCArg> args;
    OSCMessage toMessage() const;
};

struct OSCMessage {
    std::string address;
    std::vector<OSCValue> args;

    bool operator==(const OSCMessage& o) const = default;

    // The bytes of one message. Never fails and validates nothing.
    static std::vector<uint8_t> encode(std::string_view address, std::span<const OSCValue> args);
    // Size in bytes of the encoded message.
    static size_t encodedSize(std::string_view address, std::span<const OSCValue> args);
    // Writes the message into `out` without allocating; returns the bytes written, or 0 when it does not fit.
    static size_t encodeInto(std::span<uint8_t> out, std::string_view address, std::span<const OSCValue> args);

    // Every message of one datagram in the order they stand, depth first through bundles; malformed parts
    // are left out.
    static std::vector<OSCMessage> decodePacket(const uint8_t* data, size_t size);
    static std::vector<OSCMessage> decodePacket(std::span<const uint8_t> data) {
        return decodePacket(data.data(), data.size());
    }

    // Appends `text` as an OSC string: its bytes, then 1 to 4 zero bytes up to a multiple of 4.
    static void appendString(std::string_view text, std::vector<uint8_t>& to);
    // Reads one OSC string at `offset` and moves `offset` past its padding; none when it is unterminated,
    // not UTF-8, or its padding runs past the end.
    static std::optional<std::string> readString(const uint8_t* data, size_t size, size_t& offset);
};

// Walks the messages of a datagram without allocating once warm: the argument list is reused between calls.
// One decoder per thread.
class OSCDecoder {
public:
    template <typename F>
    void forEachMessage(const uint8_t* data, size_t size, F&& visit) {
        using Fn = std::remove_reference_t<F>;
        run(data, size, [](void* ctx, const OSCMessageView& m) { (*static_cast<Fn*>(ctx))(m); }, &visit);
    }

private:
    using Visitor = void (*)(void*, const OSCMessageView&);
    void run(const uint8_t* data, size_t size, Visitor visit, void* ctx);
    void decodeElement(const uint8_t* data, size_t size, Visitor visit, void* ctx);
    std::vector<OSCArg> args_;
};

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

}  // namespace plindo::link
