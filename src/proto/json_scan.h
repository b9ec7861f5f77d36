#pragma once

// The byte scanning under the JSON reader's strings: finding the end of a run of plain
// bytes, copying it, and checking that a run is well-formed UTF-8.
//
// A plain byte is any but the double quote, the backslash and the control bytes
// 0x00-0x1F: the bytes that end a string, start an escape or are a fault. Non-ASCII
// bytes are plain; their UTF-8 is checked over a whole run with valid_utf8.
//
// Two implementations with the same results: `sse2`, sixteen bytes at a time, built
// where the compiler targets SSE2 (every x86-64 processor has it), and `portable`, a
// byte at a time, built everywhere. The unqualified names are the first, or the second
// where there is no SSE2 or KORVAN_PROTO_PORTABLE_SCAN is defined.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvan::proto::scan {

// copy_plain_run may write this many bytes past the end of the run it copies.
inline constexpr size_t COPY_SLACK = 16;

// For each lead byte of a well-formed UTF-8 sequence: its length and the bounds of the
// second byte (which rule out overlong forms, surrogates and code points above
// U+10FFFF). Length 0: no sequence starts with this byte.
struct Utf8Lead {
    std::uint8_t length;
    std::uint8_t low;
    std::uint8_t high;
};

// Every field is set explicitly: GCC 12 left default member initializers of the
// elements unapplied in this constant expression.
inline constexpr std::array<Utf8Lead, 256> UTF8_LEADS = [] {
    std::array<Utf8Lead, 256> table{};
    for (int b = 0; b < 256; ++b) {
        const std::uint8_t length = b >= 0xC2 && b <= 0xDF   ? 2
                                    : b >= 0xE0 && b <= 0xEF ? 3
                                    : b >= 0xF0 && b <= 0xF4 ? 4
                                                             : 0;
        table[b] = Utf8Lead{length, 0x80, 0xBF};
    }
    table[0xE0].low = 0xA0;
    table[0xED].high = 0x9F;
    table[0xF0].low = 0x90;
    table[0xF4].high = 0x8F;
    return table;
}();

// The length of the well-formed UTF-8 sequence of two to four bytes that starts at `p`
// (p < end), or 0 if there is none.
inline size_t utf8_sequence(const std::uint8_t* p, const std::uint8_t* end) {
    const Utf8Lead lead = UTF8_LEADS[p[0]];
    if (lead.length == 0 || end - p < lead.length || p[1] < lead.low || p[1] > lead.high) {
        return 0;
    }
    if (lead.length >= 3 && (p[2] & 0xC0) != 0x80) {
        return 0;
    }
    if (lead.length == 4 && (p[3] & 0xC0) != 0x80) {
        return 0;
    }
    return lead.length;
}

inline bool plain_byte(std::uint8_t b) {
    return b >= 0x20 && b != '"' && b != '\\';
}

namespace portable {

// The first byte in [p, end) that is not plain, or `end`. Sets `non_ascii` when a byte
// before it is above 0x7F, and leaves it as it was otherwise.
inline const std::uint8_t* plain_run(const std::uint8_t* p, const std::uint8_t* end,
                                     bool& non_ascii) {
    while (p < end && plain_byte(*p)) {
        non_ascii = non_ascii || *p >= 0x80;
        ++p;
    }
    return p;
}

// plain_run, and the run copied to `out`, which then points past the copy. `out` must
// have room for the run and COPY_SLACK bytes more, which may be overwritten.
inline const std::uint8_t* copy_plain_run(const std::uint8_t* p, const std::uint8_t* end,
                                          char*& out, bool& non_ascii) {
    const std::uint8_t* stop = plain_run(p, end, non_ascii);
    const auto n = static_cast<size_t>(stop - p);
    std::memcpy(out, p, n);
    out += n;
    return stop;
}

// Whether [p, end) is well-formed UTF-8.
inline bool valid_utf8(const std::uint8_t* p, const std::uint8_t* end) {
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const size_t length = utf8_sequence(p, end);
        if (length == 0) {
            return false;
        }
        p += length;
    }
    return true;
}

}  // namespace portable

#if defined(__SSE2__)

namespace sse2 {

// A bit for each of the sixteen bytes that is not plain.
inline unsigned stop_mask(__m128i bytes) {
    const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
    // Unsigned b <= 0x1F exactly when max(b, 0x1F) == 0x1F.
    const __m128i control =
        _mm_cmpeq_epi8(_mm_max_epu8(bytes, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control)));
}

// Whether a byte above 0x7F lies before the first that is not plain (`hits` holds
// those), or anywhere in the sixteen bytes when all are plain.
inline bool non_ascii_before(__m128i bytes, unsigned hits) {
    const unsigned before = hits == 0 ? 0xFFFFu : (hits & (0u - hits)) - 1;
    return (static_cast<unsigned>(_mm_movemask_epi8(bytes)) & before) != 0;
}

// As portable::plain_run.
inline const std::uint8_t* plain_run(const std::uint8_t* p, const std::uint8_t* end,
                                     bool& non_ascii) {
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned hits = stop_mask(bytes);
        non_ascii = non_ascii || non_ascii_before(bytes, hits);
        if (hits != 0) {
            return p + __builtin_ctz(hits);
        }
        p += 16;
    }
    return portable::plain_run(p, end, non_ascii);
}

// As portable::copy_plain_run: each block of sixteen is stored whole, then checked.
inline const std::uint8_t* copy_plain_run(const std::uint8_t* p, const std::uint8_t* end,
                                          char*& out, bool& non_ascii) {
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
        const unsigned hits = stop_mask(bytes);
        non_ascii = non_ascii || non_ascii_before(bytes, hits);
        if (hits != 0) {
            const int plain = __builtin_ctz(hits);
            out += plain;
            return p + plain;
        }
        p += 16;
        out += 16;
    }
    return portable::copy_plain_run(p, end, out, non_ascii);
}

// As portable::valid_utf8; ASCII is skipped sixteen bytes at a time.
inline bool valid_utf8(const std::uint8_t* p, const std::uint8_t* end) {
    while (p < end) {
        if (end - p >= 16 &&
            _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) == 0) {
            p += 16;
            continue;
        }
        if (*p < 0x80) {
            ++p;
            continue;
        }
        const size_t length = utf8_sequence(p, end);
        if (length == 0) {
            return false;
        }
        p += length;
    }
    return true;
}

}  // namespace sse2

#endif

#if defined(__SSE2__) && !defined(KORVAN_PROTO_PORTABLE_SCAN)
using sse2::copy_plain_run;
using sse2::plain_run;
using sse2::valid_utf8;
#else
using portable::copy_plain_run;
using portable::plain_run;
using portable::valid_utf8;
#endif

}  // namespace korvan::proto::scan
