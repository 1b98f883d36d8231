#include "python/results.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrik::python {

namespace {

// Eight words at a time, stopping at the first block with a high bit: text that is not
// ASCII is told apart early and decoded by the interpreter.
bool is_ascii(std::string_view s) {
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    std::size_t i = 0;
    for (; i + 64 <= s.size(); i += 64) {
        std::uint64_t w[8];
        std::memcpy(w, s.data() + i, 64);
        if (((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) & highs) != 0) return false;
    }
    std::uint64_t high = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        high |= w;
    }
    // The rest in reads that overlap what was read, rather than byte by byte: most strs
    // are short names and ids.
    const std::size_t rest = s.size() - i;
    if (rest != 0) {
        if (s.size() >= 8) {
            std::uint64_t w;
            std::memcpy(&w, s.data() + s.size() - 8, 8);
            high |= w;
        } else if (rest >= 4) {
            std::uint32_t a, b;
            std::memcpy(&a, s.data(), 4);
            std::memcpy(&b, s.data() + rest - 4, 4);
            high |= a | b;
        } else {
            high |= static_cast<unsigned char>(s[0]) | static_cast<unsigned char>(s[rest / 2]) |
                    static_cast<unsigned char>(s[rest - 1]);
        }
    }
    return (high & highs) == 0;
}

// Sixteen ASCII bytes widened to code units of type Unit.
template <class Unit>
void widen16(Unit* out, const unsigned char* p) {
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if constexpr (sizeof(Unit) == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
    } else {
        const __m128i zero = _mm_setzero_si128();
        const __m128i lo = _mm_unpacklo_epi8(v, zero);
        const __m128i hi = _mm_unpackhi_epi8(v, zero);
        if constexpr (sizeof(Unit) == 2) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lo);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), hi);
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(lo, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(lo, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(hi, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(hi, zero));
        }
    }
#else
    for (int i = 0; i < 16; ++i) out[i] = p[i];
#endif
}

// The number of ASCII bytes that the sixteen at p begin with.
inline int ascii_prefix16(const unsigned char* p) {
#if defined(__SSE2__)
    const int mask = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    return mask == 0 ? 16 : __builtin_ctz(static_cast<unsigned>(mask));
#else
    int n = 0;
    while (n < 16 && p[n] < 0x80) ++n;
    return n;
#endif
}

// Decodes well-formed UTF-8 into code units of type Unit, each wide enough for every
// character of the text; ASCII runs go sixteen bytes at a time.
template <class Unit>
void decode_into(Unit* out, const unsigned char* p, const unsigned char* end) {
    while (p < end) {
        // Indentation makes long ASCII runs: 32 bytes to a test where they are.
        if (end - p >= 32 && ascii_prefix16(p) == 16 && ascii_prefix16(p + 16) == 16) {
            widen16(out, p);
            widen16(out + 16, p + 16);
            out += 32;
            p += 32;
            continue;
        }
        if (end - p >= 16) {
            const int ascii = ascii_prefix16(p);
            if (ascii == 16) {
                widen16(out, p);
                out += 16;
                p += 16;
                continue;
            }
            for (int i = 0; i < ascii; ++i) out[i] = p[i];
            out += ascii;
            p += ascii;
        }
        const unsigned c = *p;
        if (c < 0x80) {
            *out++ = static_cast<Unit>(c);
            p += 1;
        } else if (c < 0xE0) {
            *out++ = static_cast<Unit>(((c & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
        } else if (c < 0xF0) {
            *out++ = static_cast<Unit>(((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            p += 3;
        } else {
            *out++ = static_cast<Unit>(((c & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) |
                                       (p[3] & 0x3F));
            p += 4;
        }
    }
}

}  // namespace

PyObject* make_str(std::string_view text) {
    if (!is_ascii(text)) return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str != nullptr && !text.empty()) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
}

Outcome new_str(std::string_view text) {
    PyRef str = PyRef::steal(make_str(text));
    if (!str) {
        return std::unexpected(BoundaryError::api_call_failed());
    }
    return str;
}

Outcome new_str(std::string_view text, const json::Utf8Shape& shape) {
    const auto length = static_cast<Py_ssize_t>(text.size() - shape.continuations);
    PyRef str = PyRef::steal(PyUnicode_New(length, shape.max_char()));
    if (!str) {
        return std::unexpected(BoundaryError::api_call_failed());
    }
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    void* data = PyUnicode_DATA(str.get());
    if (shape.max_byte < 0x80) {
        if (!text.empty()) std::memcpy(data, text.data(), text.size());
    } else {
        switch (PyUnicode_KIND(str.get())) {
            case PyUnicode_1BYTE_KIND: decode_into(static_cast<Py_UCS1*>(data), p, end); break;
            case PyUnicode_2BYTE_KIND: decode_into(static_cast<Py_UCS2*>(data), p, end); break;
            default: decode_into(static_cast<Py_UCS4*>(data), p, end); break;
        }
    }
    return str;
}

Outcome new_count(std::uint32_t count) {
    static_assert(sizeof(long) > sizeof(std::uint32_t), "long must hold every count");
    PyRef number = PyRef::steal(PyLong_FromLong(static_cast<long>(count)));
    if (!number) {
        return std::unexpected(BoundaryError::api_call_failed());
    }
    return number;
}

}  // namespace tavrik::python
