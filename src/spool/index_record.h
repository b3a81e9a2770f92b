// Layout of one record of a group's index file "<n>.grp". The board reads
// these files, so every offset here is part of its interface.
#pragma once

#include <cstddef>

namespace spool {

constexpr std::size_t kRecordSize = 322;

// Length-prefixed fields: the offset is that of the length byte; the text
// follows it.
constexpr std::size_t kGroupNumberOffset = 0;
constexpr std::size_t kGroupNumberWidth = 8;
constexpr std::size_t kFixedTagOffset = 9;
constexpr std::size_t kFixedTagWidth = 7;
constexpr std::size_t kSenderOffset = 16;
constexpr std::size_t kSenderWidth = 20;
constexpr std::size_t kDayMonthOffset = 36;
constexpr std::size_t kDayMonthWidth = 8;
constexpr std::size_t kSubjectOffset = 44;
constexpr std::size_t kSubjectWidth = 94;  // 93 characters and a zero byte
constexpr std::size_t kTimestampOffset = 138;
constexpr std::size_t kTimestampWidth = 14;
constexpr std::size_t kFileNameOffset = 153;
constexpr std::size_t kFileNameWidth = 12;
constexpr std::size_t kReserved1Offset = 166;
constexpr std::size_t kReserved1Width = 47;
constexpr std::size_t kFileNameCopyOffset = 213;
constexpr std::size_t kReserved2Offset = 226;
constexpr std::size_t kReserved2Width = 85;
constexpr std::size_t kArticleNumberOffset = 311;
constexpr std::size_t kArticleNumberWidth = 10;

// Where the texts themselves start (behind their length bytes).
constexpr std::size_t kTimestampText = kTimestampOffset + 1;  // 139
constexpr std::size_t kFileNameText = kFileNameOffset + 1;    // 154

}  // namespace spool
