// The numbers in a status line, read without trusting the server.
#pragma once

#include <cstdint>

namespace nntp {

// Reads the next field of a reply line as a non-negative decimal that fits
// 64 bits and moves past it; false for anything else.
bool ReadNumber(const char*& p, std::int64_t& value);

// Whether an answer to ARTICLE or HEAD of `asked` ("220 n <id>", "221 n
// <id>") names another article. A server may say 0 for an article it does
// not number, and a line without the number says nothing either way; both
// are taken as the article asked for.
bool NamesAnotherArticle(const char* statusLine, std::int64_t asked);

}  // namespace nntp
