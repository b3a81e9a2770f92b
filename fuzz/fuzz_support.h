// Helpers shared by the fuzz targets: a scratch directory per process,
// small file helpers, a reader over the fuzzer's bytes, and a check that
// stops the run (so that libFuzzer keeps the input) when a property fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// The process's scratch directory, made once (under /dev/shm when it can
// be written, so that the code's fsync calls cost nothing; else /tmp).
const std::string& ScratchDir();
// Empties the scratch directory, keeping the directory itself.
void ClearScratch();

std::string Join(const std::string& dir, const std::string& name);
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
bool Exists(const std::string& path);
void MakeDir(const std::string& path);

// Warnings of the network layer and the session are dropped.
void SilenceWarnings();

// Dispatches every message waiting in the queue.
void DrainMessages();

[[noreturn]] void Fail(const char* file, int line, const char* what, const std::string& detail);

// Consumes the fuzzer's input from the front.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::size_t Left() const { return size_ - pos_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t Word() {
        const std::uint16_t high = Byte();
        return static_cast<std::uint16_t>(high << 8 | Byte());
    }
    std::string Bytes(std::size_t n);
    std::string Rest() { return Bytes(Left()); }
    // The bytes up to the next zero byte (consumed, not returned), or the
    // rest when there is none.
    std::string Field();

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace fuzz

#define FUZZ_CHECK(cond, detail)                                        \
    do {                                                                \
        if (!(cond)) ::fuzz::Fail(__FILE__, __LINE__, #cond, (detail)); \
    } while (0)
