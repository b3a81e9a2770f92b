// A small VT100 screen for the terminal tests: it interprets what curses
// writes (cursor addressing, erasing, scroll regions, attributes, the line
// drawing set, UTF-8) into rows of cells that a test can read.
#pragma once

#include <string>
#include <vector>

namespace qivtest {

class VtScreen {
public:
    VtScreen(int rows, int cols) { Resize(rows, cols); }

    void Resize(int rows, int cols);
    void Feed(const char* data, std::size_t size);

    int Rows() const { return rows_; }
    int Cols() const { return cols_; }
    // Row text; line-drawing characters read as '+', '-' and '|'.
    std::string Row(int row) const;
    std::string Cell(int row, int col) const { return cells_[row][col].text; }
    bool Reverse(int row, int col) const { return cells_[row][col].reverse; }
    bool Contains(const std::string& text) const;
    int FindRow(const std::string& text) const;  // first row holding text, or -1
    std::string Dump() const;
    int CursorRow() const { return row_; }
    int CursorCol() const { return col_; }

private:
    struct Cell_ {
        std::string text = " ";
        bool reverse = false;
        bool bold = false;
    };
    void Put(const std::string& ch);
    void LineFeed();
    void ReverseIndex();
    void ScrollUp(int top, int bottom, int n);
    void ScrollDown(int top, int bottom, int n);
    void EraseCells(int row, int from, int to);  // [from, to)
    void Csi(char final);
    void Clamp();
    int Param(std::size_t i, int fallback) const;

    int rows_ = 0, cols_ = 0;
    std::vector<std::vector<Cell_>> cells_;
    int row_ = 0, col_ = 0;
    int savedRow_ = 0, savedCol_ = 0;
    bool pendingWrap_ = false;
    bool autoWrap_ = true;
    int top_ = 0, bottom_ = 0;  // scroll region
    bool reverse_ = false, bold_ = false;
    bool g0Graphics_ = false, g1Graphics_ = false, shifted_ = false;
    std::string lastChar_ = " ";

    enum class State { Ground, Escape, Csi, Charset, Osc, OscEscape } state_ = State::Ground;
    char charsetTarget_ = '(';
    std::string params_;
    bool privateMode_ = false;
    std::string utf8_;
    int utf8Need_ = 0;
};

}  // namespace qivtest
