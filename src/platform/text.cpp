#include "platform/text.h"

#include <unicode/coll.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace plindo::platform::text {

namespace {

icu::UnicodeString toUnicode(std::string_view s) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

std::string toUtf8(const icu::UnicodeString& u) {
    std::string out;
    u.toUTF8String(out);
    return out;
}

const icu::Normalizer2* nfcNormalizer() {
    UErrorCode ec = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(ec);
    return U_SUCCESS(ec) ? n : nullptr;
}

const icu::Normalizer2* nfdNormalizer() {
    UErrorCode ec = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFDInstance(ec);
    return U_SUCCESS(ec) ? n : nullptr;
}

icu::UnicodeString normalize(const icu::Normalizer2* n, const icu::UnicodeString& u) {
    if (!n) return u;
    UErrorCode ec = U_ZERO_ERROR;
    icu::UnicodeString out = n->normalize(u, ec);
    return U_SUCCESS(ec) ? out : u;
}

// Collators are cloned per thread: one shared prototype for the user's locale, secondary strength so case
// is ignored but accents still order.
icu::Collator* threadCollator() {
    static std::once_flag once;
    static icu::Collator* prototype = nullptr;
    std::call_once(once, [] {
        UErrorCode ec = U_ZERO_ERROR;
        // The C/POSIX locale's collation is plain ASCII order ("B" before "a"); it means "no preference" here.
        const icu::Locale& def = icu::Locale::getDefault();
        const bool posix = std::string_view(def.getVariant()) == "POSIX" || std::string_view(def.getName()) == "c";
        std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(posix ? icu::Locale::getRoot() : def, ec));
        if (U_FAILURE(ec) || !c) {
            ec = U_ZERO_ERROR;
            c.reset(icu::Collator::createInstance(icu::Locale::getRoot(), ec));
        }
        if (U_FAILURE(ec) || !c) return;
        c->setStrength(icu::Collator::SECONDARY);
        prototype = c.release();
    });
    thread_local std::unique_ptr<icu::Collator> local(prototype ? prototype->clone() : nullptr);
    return local.get();
}

bool isSpaceOrTab(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string fold(std::string_view s) {
    icu::UnicodeString decomposed = normalize(nfdNormalizer(), toUnicode(s));
    icu::UnicodeString stripped;
    for (int32_t i = 0; i < decomposed.length();) {
        UChar32 c = decomposed.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
        i += U16_LENGTH(c);
    }
    stripped.foldCase();
    return toUtf8(normalize(nfcNormalizer(), stripped));
}

std::string nfc(std::string_view s) { return toUtf8(normalize(nfcNormalizer(), toUnicode(s))); }
std::string nfd(std::string_view s) { return toUtf8(normalize(nfdNormalizer(), toUnicode(s))); }

std::string_view trimWhitespace(std::string_view s) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    const int32_t n = static_cast<int32_t>(s.size());
    int32_t begin = -1, end = 0;
    for (int32_t i = 0; i < n;) {
        const int32_t at = i;
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c >= 0 && u_isUWhiteSpace(c)) continue;
        if (begin < 0) begin = at;
        end = i;
    }
    if (begin < 0) return s.substr(0, 0);
    return s.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
}

std::string_view trimSpacesAndTabs(std::string_view s) {
    while (!s.empty() && isSpaceOrTab(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpaceOrTab(s.back())) s.remove_suffix(1);
    return s;
}

int compareLocalized(std::string_view a, std::string_view b) {
    if (icu::Collator* c = threadCollator()) {
        UErrorCode ec = U_ZERO_ERROR;
        UCollationResult r = c->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                                            icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), ec);
        if (U_SUCCESS(ec)) return r;
    }
    const std::string fa = fold(a), fb = fold(b);
    return fa < fb ? -1 : (fb < fa ? 1 : 0);
}

std::string localizedSortKey(std::string_view s) {
    icu::Collator* c = threadCollator();
    if (!c) return fold(s);
    const icu::UnicodeString u = toUnicode(s);
    std::string key(64, '\0');
    for (;;) {
        const int32_t need = c->getSortKey(u, reinterpret_cast<uint8_t*>(key.data()), static_cast<int32_t>(key.size()));
        if (need <= 0) return fold(s);
        if (static_cast<size_t>(need) <= key.size()) {
            key.resize(static_cast<size_t>(need) - 1);  // drop the terminating zero byte
            return key;
        }
        key.resize(static_cast<size_t>(need));
    }
}

bool canonicalLess(std::string_view a, std::string_view b) {
    // UTF-8 byte order is code-point order.
    return nfc(a) < nfc(b);
}

std::optional<std::string> fromUtf16(const uint8_t* data, size_t size, bool bigEndian) {
    const size_t units = size / 2;
    const auto unit = [&](size_t i) -> uint32_t {
        const uint32_t a = data[2 * i], b = data[2 * i + 1];
        return bigEndian ? (a << 8) | b : (b << 8) | a;
    };
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF) {
            const uint32_t lo = i + 1 < units ? unit(i + 1) : 0;
            if (lo < 0xDC00 || lo > 0xDFFF) return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
        }
        char buf[4];
        int32_t len = 0;
        UBool err = false;
        U8_APPEND(reinterpret_cast<uint8_t*>(buf), len, 4, static_cast<UChar32>(c), err);
        out.append(buf, static_cast<size_t>(len));
    }
    return out;
}

bool isValidUtf8(std::string_view s) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    const int32_t n = static_cast<int32_t>(s.size());
    for (int32_t i = 0; i < n;) {
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c < 0) return false;
    }
    return true;
}

std::string fromLatin1(std::string_view s) {
    std::string out;
    out.reserve(s.size() * 2);
    for (char ch : s) {
        const auto b = static_cast<uint8_t>(ch);
        if (b < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xC0 | (b >> 6)));
            out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return out;
}

std::vector<std::string_view> splitLines(std::string_view s) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    auto emit = [&](size_t end) {
        if (end > start) lines.push_back(s.substr(start, end - start));
    };
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<uint8_t>(s[i]);
        size_t breakLen = 0;
        if (b == '\n' || b == '\v' || b == '\f') {
            breakLen = 1;
        } else if (b == '\r') {
            breakLen = (i + 1 < s.size() && s[i + 1] == '\n') ? 2 : 1;
        } else if (b == 0xC2 && i + 1 < s.size() && static_cast<uint8_t>(s[i + 1]) == 0x85) {
            breakLen = 2;  // U+0085
        } else if (b == 0xE2 && i + 2 < s.size() && static_cast<uint8_t>(s[i + 1]) == 0x80 &&
                   (static_cast<uint8_t>(s[i + 2]) == 0xA8 || static_cast<uint8_t>(s[i + 2]) == 0xA9)) {
            breakLen = 3;  // U+2028, U+2029
        }
        if (breakLen) {
            emit(i);
            i += breakLen;
            start = i;
        } else {
            ++i;
        }
    }
    emit(s.size());
    return lines;
}

std::string escapeControls(std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    const auto plain = [](uint8_t b) { return b >= 0x20 && b < 0x7F; };
    if (std::all_of(s.begin(), s.end(), [&](char c) { return plain(static_cast<uint8_t>(c)); })) return std::string(s);
    std::string out;
    out.reserve(s.size() + 16);
    const auto hexByte = [&](uint8_t b) {
        out += "\\x";
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    };
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    const auto n = static_cast<int32_t>(s.size());
    for (int32_t i = 0; i < n;) {
        const int32_t at = i;
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c < 0) {
            for (int32_t k = at; k < i; ++k) hexByte(p[k]);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            hexByte(static_cast<uint8_t>(c));
        } else if ((c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
        } else {
            out.append(s.substr(static_cast<size_t>(at), static_cast<size_t>(i - at)));
        }
    }
    return out;
}

}  // namespace plindo::platform::text
