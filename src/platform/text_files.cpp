// Text files line by line, written whole or not at all, and small files
// read whole; the same on every system, over the opens of files.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/files.h"

namespace plat {

// ---- TextWriter ----

TextWriter::~TextWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

bool TextWriter::Open(const std::string& path, const char* mode) {
    if (file_ != nullptr) Close();
    failed_ = false;
    const char* native = nullptr;
    if (mode != nullptr && mode[0] == 'w') native = "wb";
    if (mode != nullptr && mode[0] == 'a') native = "ab";
    if (native == nullptr) {
        errno = EINVAL;
        return false;
    }
    // "w" makes a new file: whatever a link in its place points to is not
    // truncated. "a" appends to our own regular file only.
    const int fd =
        native[0] == 'w' ? CreateNewFile(path) : OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0) return false;
    file_ = fdopen(fd, native);
    if (file_ == nullptr) close(fd);
    return file_ != nullptr;
}

bool TextWriter::Write(const char* data, std::size_t length) {
    if (file_ == nullptr) {
        failed_ = true;
        return false;
    }
    const char* p = data;
    const char* end = data + length;
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
        const std::size_t run = (nl != nullptr ? nl : end) - p;
        if (run > 0 && std::fwrite(p, 1, run, file_) != run) failed_ = true;
        if (nl == nullptr) break;
        if (std::fwrite("\r\n", 1, 2, file_) != 2) failed_ = true;
        p = nl + 1;
    }
    return !failed_;
}

bool TextWriter::Close() {
    if (file_ == nullptr) return !failed_;
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    return !failed_;
}

// ---- TextReader ----

TextReader::~TextReader() {
    Close();
}

bool TextReader::Open(const std::string& path) {
    Close();
    const int fd = OpenRegular(path, O_RDONLY);
    if (fd < 0) return false;
    file_ = fdopen(fd, "rb");
    if (file_ == nullptr) close(fd);
    return file_ != nullptr;
}

void TextReader::Close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

int TextReader::Get() {
    const int c = std::getc(file_);
    if (c != '\r') return c;
    const int next = std::getc(file_);
    if (next == '\n') return '\n';
    if (next != EOF) std::ungetc(next, file_);
    return '\r';
}

bool TextReader::HasMore() {
    if (file_ == nullptr) return false;
    const int c = std::getc(file_);
    if (c == EOF) return false;
    std::ungetc(c, file_);
    return true;
}

bool TextReader::ReadLine(std::string& line, std::size_t maxChars, bool* truncated) {
    line.clear();
    if (truncated != nullptr) *truncated = false;
    if (file_ == nullptr) return false;
    const off_t start = ftello(file_);
    int c = Get();
    if (c == EOF) return false;
    if (maxChars == 0 && c != '\n') {
        fseeko(file_, start, SEEK_SET);
        if (truncated != nullptr) *truncated = true;
        return true;
    }
    while (c != EOF && c != '\n') {
        line.push_back(static_cast<char>(c));
        if (line.size() >= maxChars) {
            // A line of exactly maxChars still counts as whole: its newline
            // goes with it rather than showing up as an empty next line.
            const off_t mark = ftello(file_);
            c = Get();
            if (c == EOF || c == '\n') return true;
            fseeko(file_, mark, SEEK_SET);
            if (truncated != nullptr) *truncated = true;
            return true;
        }
        c = Get();
    }
    return true;
}

bool TextReader::ReadLine(std::string& line) {
    return ReadLine(line, static_cast<std::size_t>(-1), nullptr);
}

bool TextReader::Rewind() {
    if (file_ == nullptr) return false;
    std::clearerr(file_);
    return std::fseek(file_, 0, SEEK_SET) == 0;
}

bool ReadSmallFileFrom(int fd, std::size_t maxBytes, std::string& text, int& err) {
    text.clear();
    struct stat st;
    err = 0;
    if (fstat(fd, &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        err = EINVAL;
    } else {
        char buffer[8192];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                err = errno;
                break;
            }
            if (n == 0) break;
            if (text.size() + static_cast<std::size_t>(n) > maxBytes) {
                err = EFBIG;
                break;
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    if (err != 0) text.clear();
    return err == 0;
}

}  // namespace plat
