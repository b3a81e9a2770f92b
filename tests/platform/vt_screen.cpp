#include "vt_screen.h"

#include <algorithm>
#include <cstdlib>

namespace qivtest {

namespace {

// The DEC special graphics set as plain characters.
std::string Graphic(char c) {
    switch (c) {
        case 'q':
            return "-";
        case 'x':
            return "|";
        case 'l':
        case 'k':
        case 'm':
        case 'j':
        case 't':
        case 'u':
        case 'n':
        case 'w':
        case 'v':
            return "+";
        default:
            return std::string(1, c);
    }
}

// Unicode box drawing (U+2500-U+257F) as plain characters.
std::string Boxed(const std::string& utf8) {
    if (utf8.size() != 3 || static_cast<unsigned char>(utf8[0]) != 0xE2) return utf8;
    const unsigned cp = ((utf8[0] & 0x0F) << 12) | ((utf8[1] & 0x3F) << 6) | (utf8[2] & 0x3F);
    if (cp < 0x2500 || cp > 0x257F) return utf8;
    if (cp == 0x2500 || cp == 0x2501 || cp == 0x2550) return "-";
    if (cp == 0x2502 || cp == 0x2503 || cp == 0x2551) return "|";
    return "+";
}

}  // namespace

void VtScreen::Resize(int rows, int cols) {
    rows_ = rows;
    cols_ = cols;
    cells_.resize(rows);
    for (auto& r : cells_) r.resize(cols);
    top_ = 0;
    bottom_ = rows - 1;
    Clamp();
}

void VtScreen::Clamp() {
    row_ = std::clamp(row_, 0, rows_ - 1);
    col_ = std::clamp(col_, 0, cols_ - 1);
}

std::string VtScreen::Row(int row) const {
    std::string out;
    for (const Cell_& c : cells_[row]) out += c.text;
    return out;
}

bool VtScreen::Contains(const std::string& text) const {
    return FindRow(text) >= 0;
}

int VtScreen::FindRow(const std::string& text) const {
    for (int r = 0; r < rows_; ++r)
        if (Row(r).find(text) != std::string::npos) return r;
    return -1;
}

std::string VtScreen::Dump() const {
    std::string out;
    for (int r = 0; r < rows_; ++r) out += "|" + Row(r) + "|\n";
    return out;
}

void VtScreen::EraseCells(int row, int from, int to) {
    for (int c = std::max(from, 0); c < std::min(to, cols_); ++c) cells_[row][c] = Cell_{};
}

void VtScreen::ScrollUp(int top, int bottom, int n) {
    for (int i = 0; i < n; ++i) {
        cells_.erase(cells_.begin() + top);
        cells_.insert(cells_.begin() + bottom, std::vector<Cell_>(cols_));
    }
}

void VtScreen::ScrollDown(int top, int bottom, int n) {
    for (int i = 0; i < n; ++i) {
        cells_.erase(cells_.begin() + bottom);
        cells_.insert(cells_.begin() + top, std::vector<Cell_>(cols_));
    }
}

void VtScreen::LineFeed() {
    if (row_ == bottom_)
        ScrollUp(top_, bottom_, 1);
    else if (row_ < rows_ - 1)
        ++row_;
}

void VtScreen::ReverseIndex() {
    if (row_ == top_)
        ScrollDown(top_, bottom_, 1);
    else if (row_ > 0)
        --row_;
}

void VtScreen::Put(const std::string& ch) {
    if (pendingWrap_ && autoWrap_) {
        col_ = 0;
        LineFeed();
    }
    pendingWrap_ = false;
    Cell_& cell = cells_[row_][col_];
    cell.text = ch;
    cell.reverse = reverse_;
    cell.bold = bold_;
    lastChar_ = ch;
    if (col_ == cols_ - 1)
        pendingWrap_ = true;
    else
        ++col_;
}

int VtScreen::Param(std::size_t i, int fallback) const {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : params_) {
        if (c == ';') {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    if (i >= parts.size() || parts[i].empty()) return fallback;
    return std::atoi(parts[i].c_str());
}

void VtScreen::Csi(char final) {
    const int n = std::max(Param(0, 1), 1);
    switch (final) {
        case 'H':
        case 'f':
            row_ = Param(0, 1) - 1;
            col_ = Param(1, 1) - 1;
            break;
        case 'A':
            row_ -= n;
            break;
        case 'B':
            row_ += n;
            break;
        case 'C':
            col_ += n;
            break;
        case 'D':
            col_ -= n;
            break;
        case 'G':
            col_ = n - 1;
            break;
        case 'd':
            row_ = n - 1;
            break;
        case 'J': {
            const int mode = Param(0, 0);
            if (mode == 0) {
                EraseCells(row_, col_, cols_);
                for (int r = row_ + 1; r < rows_; ++r) EraseCells(r, 0, cols_);
            } else if (mode == 1) {
                for (int r = 0; r < row_; ++r) EraseCells(r, 0, cols_);
                EraseCells(row_, 0, col_ + 1);
            } else {
                for (int r = 0; r < rows_; ++r) EraseCells(r, 0, cols_);
            }
            break;
        }
        case 'K': {
            const int mode = Param(0, 0);
            if (mode == 0)
                EraseCells(row_, col_, cols_);
            else if (mode == 1)
                EraseCells(row_, 0, col_ + 1);
            else
                EraseCells(row_, 0, cols_);
            break;
        }
        case 'X':
            EraseCells(row_, col_, col_ + n);
            break;
        case 'r':
            top_ = std::clamp(Param(0, 1) - 1, 0, rows_ - 1);
            bottom_ = std::clamp(Param(1, rows_) - 1, top_, rows_ - 1);
            row_ = col_ = 0;
            break;
        case 'L':
            if (row_ >= top_ && row_ <= bottom_) ScrollDown(row_, bottom_, n);
            break;
        case 'M':
            if (row_ >= top_ && row_ <= bottom_) ScrollUp(row_, bottom_, n);
            break;
        case 'S':
            ScrollUp(top_, bottom_, n);
            break;
        case 'T':
            ScrollDown(top_, bottom_, n);
            break;
        case '@': {
            auto& r = cells_[row_];
            for (int i = 0; i < n; ++i) {
                r.insert(r.begin() + col_, Cell_{});
                r.pop_back();
            }
            break;
        }
        case 'P': {
            auto& r = cells_[row_];
            for (int i = 0; i < n; ++i) {
                r.erase(r.begin() + col_);
                r.push_back(Cell_{});
            }
            break;
        }
        case 'b':
            for (int i = 0; i < n; ++i) Put(lastChar_);
            break;
        case 'm': {
            const std::size_t count = std::count(params_.begin(), params_.end(), ';') + 1;
            for (std::size_t i = 0; i < count; ++i) {
                const int p = Param(i, 0);
                if (p == 0) reverse_ = bold_ = false;
                if (p == 1) bold_ = true;
                if (p == 22) bold_ = false;
                if (p == 7) reverse_ = true;
                if (p == 27) reverse_ = false;
            }
            break;
        }
        case 'h':
        case 'l':
            if (privateMode_ && Param(0, 0) == 7) autoWrap_ = final == 'h';
            break;
        default:
            break;
    }
    if (final != 'b' && final != 'm') pendingWrap_ = false;
    Clamp();
}

void VtScreen::Feed(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        switch (state_) {
            case State::Escape:
                state_ = State::Ground;
                switch (c) {
                    case '[':
                        state_ = State::Csi;
                        params_.clear();
                        privateMode_ = false;
                        break;
                    case '(':
                    case ')':
                        state_ = State::Charset;
                        charsetTarget_ = static_cast<char>(c);
                        break;
                    case ']':
                        state_ = State::Osc;
                        break;
                    case '7':
                        savedRow_ = row_;
                        savedCol_ = col_;
                        break;
                    case '8':
                        row_ = savedRow_;
                        col_ = savedCol_;
                        break;
                    case 'M':
                        ReverseIndex();
                        break;
                    case 'D':
                        LineFeed();
                        break;
                    case 'E':
                        col_ = 0;
                        LineFeed();
                        break;
                    default:
                        break;
                }
                continue;
            case State::Charset:
                (charsetTarget_ == '(' ? g0Graphics_ : g1Graphics_) = c == '0';
                state_ = State::Ground;
                continue;
            case State::Osc:
                if (c == 0x07) state_ = State::Ground;
                if (c == 0x1B) state_ = State::OscEscape;
                continue;
            case State::OscEscape:
                state_ = State::Ground;
                continue;
            case State::Csi:
                if (c == '?' || c == '>' || c == '=') {
                    privateMode_ = true;
                } else if ((c >= '0' && c <= '9') || c == ';') {
                    params_ += static_cast<char>(c);
                } else if (c >= 0x40 && c <= 0x7E) {
                    state_ = State::Ground;
                    Csi(static_cast<char>(c));
                }
                continue;
            case State::Ground:
                break;
        }
        if (utf8Need_ > 0) {
            if ((c & 0xC0) == 0x80) {
                utf8_ += static_cast<char>(c);
                if (--utf8Need_ == 0) Put(Boxed(utf8_));
                continue;
            }
            utf8Need_ = 0;  // broken sequence: drop it
        }
        if (c >= 0xC0) {
            utf8_ = std::string(1, static_cast<char>(c));
            utf8Need_ = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
            continue;
        }
        switch (c) {
            case 0x1B:
                state_ = State::Escape;
                break;
            case '\r':
                col_ = 0;
                pendingWrap_ = false;
                break;
            case '\n':
            case 0x0B:
            case 0x0C:
                LineFeed();
                pendingWrap_ = false;
                break;
            case '\b':
                if (col_ > 0) --col_;
                pendingWrap_ = false;
                break;
            case '\t':
                col_ = std::min((col_ / 8 + 1) * 8, cols_ - 1);
                break;
            case 0x0E:
                shifted_ = true;
                break;
            case 0x0F:
                shifted_ = false;
                break;
            default:
                if (c < 0x20 || c == 0x7F) break;
                if (c >= 0x80) {
                    Put("?");  // not UTF-8: curses should never send it
                    break;
                }
                if (shifted_ ? g1Graphics_ : g0Graphics_)
                    Put(Graphic(static_cast<char>(c)));
                else
                    Put(std::string(1, static_cast<char>(c)));
                break;
        }
    }
}

}  // namespace qivtest
