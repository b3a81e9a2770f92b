// COMPRESS DEFLATE (RFC 8054) on the server's side: raw deflate both ways
// from the byte after the 206 line, and the fault that corrupts it.
#include <zlib.h>

#include "newsserver/news_session.h"

namespace testsrv {

namespace detail {

namespace {

constexpr int kWindowBits = -15;

}  // namespace

Compressor::~Compressor() {
    if (out_ != nullptr) {
        deflateEnd(out_);
        delete out_;
    }
    if (in_ != nullptr) {
        inflateEnd(in_);
        delete in_;
    }
}

bool Compressor::Start() {
    if (Active()) return false;
    auto* out = new z_stream{};
    auto* in = new z_stream{};
    if (deflateInit2(out, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kWindowBits, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        delete out;
        delete in;
        return false;
    }
    if (inflateInit2(in, kWindowBits) != Z_OK) {
        deflateEnd(out);
        delete out;
        delete in;
        return false;
    }
    out_ = out;
    in_ = in;
    return true;
}

std::string Compressor::Deflate(const std::string& plain) {
    std::string wire;
    out_->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    out_->avail_in = static_cast<uInt>(plain.size());
    char buffer[16384];
    do {
        out_->next_out = reinterpret_cast<Bytef*>(buffer);
        out_->avail_out = sizeof buffer;
        deflate(out_, Z_SYNC_FLUSH);
        wire.append(buffer, sizeof buffer - out_->avail_out);
    } while (out_->avail_out == 0);
    return wire;
}

bool Compressor::Inflate(const char* data, std::size_t size, std::string* plain) {
    in_->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    in_->avail_in = static_cast<uInt>(size);
    char buffer[16384];
    while (in_->avail_in > 0) {
        in_->next_out = reinterpret_cast<Bytef*>(buffer);
        in_->avail_out = sizeof buffer;
        const int result = inflate(in_, Z_SYNC_FLUSH);
        if (result != Z_OK && result != Z_BUF_ERROR) return false;
        plain->append(buffer, sizeof buffer - in_->avail_out);
        if (result == Z_BUF_ERROR && in_->avail_out != 0) break;
    }
    return true;
}

bool Session::HandleCompress(const std::string& rest) {
    CompressMode mode;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        mode = s_.compress;
    }
    if (mode == CompressMode::None) return Deliver("COMPRESS", {"500 unknown command\r\n"});
    if (Upper(rest) != "DEFLATE")
        return Deliver("COMPRESS", {"501 unsupported compression algorithm\r\n"});
    if (compressor_.Active()) return Deliver("COMPRESS", {"502 compression already active\r\n"});
    if (mode == CompressMode::Refuse403)
        return Deliver("COMPRESS", {"403 unable to activate compression\r\n"});
    if (mode == CompressMode::Refuse502)
        return Deliver("COMPRESS", {"502 command unavailable\r\n"});
    // Counted before the answer goes, so that a client that has read it
    // finds the count.
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        ++s_.compressStarts;
    }
    std::string sent;
    const bool alive = Deliver("COMPRESS", {"206 compression active\r\n"}, &sent);
    if (sent.rfind("206", 0) != 0) {  // a fault answered otherwise
        std::lock_guard<std::mutex> lock(s_.mu);
        --s_.compressStarts;
    }
    if (!alive) return false;
    if (sent.rfind("206", 0) != 0) return true;
    if (!compressor_.Start()) return false;
    // Whatever the client sent behind the command is compressed already.
    const std::string early = in_.substr(inPos_);
    in_.clear();
    inPos_ = 0;
    return compressor_.Inflate(early.data(), early.size(), &in_);
}

std::string Session::Encode(const std::string& data) {
    if (!compressor_.Active()) return data;
    std::string wire = compressor_.Deflate(data);
    std::lock_guard<std::mutex> lock(s_.mu);
    s_.compressPlain += data.size();
    s_.compressWire += wire.size();
    if (s_.corruptAfter != Fault::kWhole && compressor_.wireOut >= s_.corruptAfter)
        wire.assign(wire.size(), '\xFF');
    compressor_.wireOut += wire.size();
    return wire;
}

}  // namespace detail

}  // namespace testsrv
