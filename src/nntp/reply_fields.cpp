#include "nntp/reply_fields.h"

namespace nntp {

bool ReadNumber(const char*& p, std::int64_t& value) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p < '0' || *p > '9') return false;
    value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const int digit = *p - '0';
        if (value > (INT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return *p == '\0' || *p == ' ' || *p == '\t';
}

bool NamesAnotherArticle(const char* statusLine, std::int64_t asked) {
    const char* p = statusLine;
    std::int64_t code = 0;
    std::int64_t number = 0;
    if (!ReadNumber(p, code) || !ReadNumber(p, number)) return false;
    return number != 0 && number != asked;
}

}  // namespace nntp
