// wsprintfA and the formatting engine behind it; see win32.h for what it
// accepts.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/win32.h"

namespace {

constexpr size_t kFormatLimit = 1024;

class FormatSink {
public:
    explicit FormatSink(char *out) : out_(out) {}
    void Put(char c) {
        if (count_ < kFormatLimit) out_[count_++] = c;
    }
    void Put(const char *text, size_t length) {
        for (size_t i = 0; i < length; ++i) Put(text[i]);
    }
    void Repeat(char c, size_t times) {
        for (size_t i = 0; i < times && count_ < kFormatLimit; ++i) Put(c);
    }
    size_t Finish() {
        out_[count_] = '\0';
        return count_;
    }

private:
    char *out_;
    size_t count_ = 0;
};

struct Conversion {
    bool left = false;
    bool zero = false;
    bool alternate = false;
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
};

// A field: sign or prefix, then zeros to the precision, then the digits,
// padded to the width on the left or the right.
void PutField(FormatSink &sink, const Conversion &conv, const char *prefix, const char *body, size_t length,
              size_t minDigits) {
    const size_t prefixLength = std::strlen(prefix);
    const size_t zeros = minDigits > length ? minDigits - length : 0;
    const size_t used = prefixLength + zeros + length;
    const size_t pad = conv.width > used ? conv.width - used : 0;
    const bool zeroPad = conv.zero && !conv.left && !conv.hasPrecision;
    if (!conv.left && !zeroPad) sink.Repeat(' ', pad);
    sink.Put(prefix, prefixLength);
    if (zeroPad) sink.Repeat('0', pad);
    sink.Repeat('0', zeros);
    sink.Put(body, length);
    if (conv.left) sink.Repeat(' ', pad);
}

void PutNumber(FormatSink &sink, const Conversion &conv, uint32_t magnitude, bool negative, unsigned base, bool upper) {
    char digits[16];
    size_t length = 0;
    const char *alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[length++] = alphabet[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    char body[16];
    for (size_t i = 0; i < length; ++i) body[i] = digits[length - 1 - i];
    // An explicit precision of 0 prints nothing for the value 0.
    if (conv.hasPrecision && conv.precision == 0 && length == 1 && body[0] == '0') length = 0;
    const char *prefix = negative ? "-" : "";
    if (conv.alternate && base == 16 && !(length == 1 && body[0] == '0') && length > 0) prefix = upper ? "0X" : "0x";
    PutField(sink, conv, prefix, body, length, conv.hasPrecision ? conv.precision : 0);
}

// Reads a decimal run; large values are capped, the output is anyway.
size_t ReadCount(const char *&p) {
    size_t value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value < 100000) value = value * 10 + static_cast<size_t>(*p - '0');
        ++p;
    }
    return value;
}

int FormatInto(char *out, const char *format, va_list args) {
    FormatSink sink(out);
    const char *p = format;
    while (*p != '\0') {
        if (*p != '%') {
            sink.Put(*p++);
            continue;
        }
        const char *start = p++;
        if (*p == '%') {
            sink.Put('%');
            ++p;
            continue;
        }
        Conversion conv;
        for (;; ++p) {
            if (*p == '-') conv.left = true;
            else if (*p == '0') conv.zero = true;
            else if (*p == '#') conv.alternate = true;
            else break;
        }
        conv.width = ReadCount(p);
        if (*p == '.') {
            ++p;
            conv.hasPrecision = true;
            conv.precision = ReadCount(p);
        }
        // l: long, which on Windows is 32 bits like int; h: single-byte
        // character or text, which is what the A call prints anyway.
        char size = '\0';
        if (*p == 'l' || *p == 'h') size = *p++;
        const char type = *p;
        bool handled = true;
        switch (type) {
        case 'd':
        case 'i': {
            if (size == 'h') {
                handled = false;
                break;
            }
            const int value = va_arg(args, int);
            const uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
            PutNumber(sink, conv, magnitude, value < 0, 10, false);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
            if (size == 'h') {
                handled = false;
                break;
            }
            PutNumber(sink, conv, va_arg(args, unsigned int), false, type == 'u' ? 10 : 16, type == 'X');
            break;
        case 'c': {
            if (size == 'l') {
                handled = false;
                break;
            }
            const char c = static_cast<char>(va_arg(args, int));
            Conversion plain = conv;
            plain.hasPrecision = false;
            PutField(sink, plain, "", &c, 1, 0);
            break;
        }
        case 's': {
            if (size == 'l') {
                handled = false;
                break;
            }
            const char *text = va_arg(args, const char *);
            if (text == nullptr) text = "(null)";
            const size_t length = conv.hasPrecision ? strnlen(text, conv.precision) : std::strlen(text);
            Conversion plain = conv;
            plain.hasPrecision = false;
            PutField(sink, plain, "", text, length, 0);
            break;
        }
        default:
            handled = false;
            break;
        }
        if (handled) {
            ++p;
            continue;
        }
        // Not a conversion this call knows: copied as it stands, and no
        // argument is taken for it.
        if (*p != '\0') ++p;
        sink.Put(start, static_cast<size_t>(p - start));
    }
    return static_cast<int>(sink.Finish());
}

}  // namespace

int wsprintfA(char *out, const char *format, ...) {
    if (out == nullptr) return 0;
    if (format == nullptr) {
        out[0] = '\0';
        return 0;
    }
    va_list args;
    va_start(args, format);
    const int count = FormatInto(out, format, args);
    va_end(args);
    return count;
}
