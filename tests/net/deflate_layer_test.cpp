// The compression layer over a real loopback socket, the far end doing
// raw deflate with zlib itself: what the owner reads whatever its buffer,
// bytes read before the layer began, what a stream that does not inflate
// does, and what the layer sends.
#include "net/deflate_layer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "net/event_window.h"
#include "net_support.h"
#include "platform/wsa_errors.h"

namespace {

using nettest::Listener;
using nettest::Loopback;
using nettest::PeerReader;
using nettest::RecordingStreamClient;

// Reads once per Readable, as the session does, into a buffer of `room`.
class Reader : public RecordingStreamClient {
public:
    Reader(net::CDeflateLayer& layer, int room) : layer_(layer), room_(room) {}
    void StreamCallback(std::uint32_t cookie, net::StreamEvent kind, int error,
                        const void* data) override {
        RecordingStreamClient::StreamCallback(cookie, kind, error, data);
        if (kind != net::StreamEvent::Readable) return;
        std::vector<char> buffer(static_cast<std::size_t>(room_));
        int length = room_;
        results.push_back(layer_.Receive(buffer.data(), length));
        received.append(buffer.data(), static_cast<std::size_t>(length));
    }
    std::string received;
    std::vector<int> results;

private:
    net::CDeflateLayer& layer_;
    int room_;
};

// The far end's compressor.
class Deflater {
public:
    Deflater() { deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY); }
    ~Deflater() { deflateEnd(&z_); }
    std::string Pack(const std::string& plain, int flush = Z_SYNC_FLUSH) {
        std::string out;
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
        z_.avail_in = static_cast<uInt>(plain.size());
        char buffer[4096];
        do {
            z_.next_out = reinterpret_cast<Bytef*>(buffer);
            z_.avail_out = sizeof buffer;
            deflate(&z_, flush);
            out.append(buffer, sizeof buffer - z_.avail_out);
        } while (z_.avail_out == 0);
        return out;
    }

private:
    z_stream z_{};
};

std::string Inflate(const std::string& wire) {
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(wire.data()));
    z.avail_in = static_cast<uInt>(wire.size());
    std::string out;
    char buffer[4096];
    int result = Z_OK;
    while (result == Z_OK && (z.avail_in > 0 || z.avail_out == 0)) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        result = inflate(&z, Z_SYNC_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    inflateEnd(&z);
    return out;
}

// News-like text: compressible, with every byte value somewhere.
std::string Text(std::size_t size) {
    std::string s;
    for (std::size_t i = 0; s.size() < size; ++i) {
        s += "Line " + std::to_string(i) + " of the article, with words in it\r\n";
        if (i % 50 == 0) s += std::string(1, static_cast<char>(i % 256));
    }
    s.resize(size);
    return s;
}

class DeflateLayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        nettest::EnsureNetworkLayer();
        ASSERT_TRUE(listener.ok());
        socket.client = &connector;
        const int rc = socket.Connect(Loopback(listener.port()));
        ASSERT_TRUE(rc == 0 || rc == plat::wsa::WouldBlock) << rc;
        ASSERT_TRUE(plat::PumpUntil(
            [&] {
                if (peer < 0) peer = listener.Accept();
                return connector.Count(net::StreamEvent::ConnectDone) == 1 && peer >= 0;
            },
            10000));
    }
    void TearDown() override {
        layer.Reset();
        socket.Close();
        if (peer >= 0) ::close(peer);
        peer = -1;
        connector.events.clear();
    }
    void SendAll(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(peer, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            ASSERT_GT(n, 0);
            done += static_cast<std::size_t>(n);
        }
    }
    void ClosePeer() {
        ::close(peer);
        peer = -1;
    }
    bool WaitClosed(const Reader& reader) {
        return plat::PumpUntil([&] { return reader.Count(net::StreamEvent::Closed) == 1; }, 10000);
    }

    Listener listener;
    RecordingStreamClient connector;
    net::CStreamSocket socket;
    net::CDeflateLayer layer;
    int peer = -1;
};

TEST_F(DeflateLayerTest, TheOwnerReadsEveryByteWhateverItsBufferThenTheClose) {
    const std::string plain = Text(300000);
    Deflater deflater;
    // Flushed pieces of uneven size, as a server's writes come.
    std::string wire;
    for (std::size_t at = 0, piece = 1; at < plain.size(); at += piece, piece = piece * 3 + 7)
        wire += deflater.Pack(plain.substr(at, piece));
    for (const int room : {1, 100, 2048, 70000}) {
        SCOPED_TRACE(room);
        TearDown();
        SetUp();
        Reader reader(layer, room);
        ASSERT_EQ(layer.Begin(&socket, nullptr, &reader, nullptr, 0), 0);
        ASSERT_TRUE(layer.Active());
        SendAll(wire);
        ClosePeer();
        ASSERT_TRUE(WaitClosed(reader));
        EXPECT_EQ(reader.received.size(), plain.size());
        EXPECT_TRUE(reader.received == plain);
        EXPECT_EQ(reader.events.back().error, 0);
        EXPECT_FALSE(layer.Broken());
        EXPECT_EQ(layer.PlainIn(), plain.size());
        EXPECT_EQ(layer.WireIn(), wire.size());
        EXPECT_LT(layer.WireIn() * 4, layer.PlainIn());
    }
}

TEST_F(DeflateLayerTest, BytesReadBeforeTheLayerBeganAreTheStreamsFirst) {
    const std::string plain = Text(20000);
    Deflater deflater;
    const std::string first = deflater.Pack(plain.substr(0, 700));
    const std::string rest = deflater.Pack(plain.substr(700));
    Reader reader(layer, 2048);
    ASSERT_EQ(layer.Begin(&socket, nullptr, &reader, first.data(), static_cast<int>(first.size())),
              0);
    // Offered from the loop, though the socket has nothing to report.
    ASSERT_TRUE(plat::PumpUntil([&] { return reader.received.size() == 700; }, 10000));
    EXPECT_EQ(reader.received, plain.substr(0, 700));
    SendAll(rest);
    ASSERT_TRUE(plat::PumpUntil([&] { return reader.received.size() == plain.size(); }, 10000));
    EXPECT_EQ(reader.received, plain);
    // More than one read of the stream below cannot have come first.
    const std::string big(net::CDeflateLayer::kInputSize + 1, 'x');
    EXPECT_NE(layer.Begin(&socket, nullptr, &reader, big.data(), static_cast<int>(big.size())), 0);
}

TEST_F(DeflateLayerTest, AStreamThatDoesNotInflateClosesTheConnectionAndGivesNothingMore) {
    const struct {
        const char* name;
        std::string tail;
        int finish;  // how the good part ends
    } rows[] = {
        {"invalid block type", std::string(64, '\xFF'), Z_SYNC_FLUSH},
        {"garbage", "not deflate at all, just text\r\n", Z_SYNC_FLUSH},
        {"bytes behind the final block", "ARTICLE 1\r\n", Z_FINISH},
    };
    const std::string plain = Text(5000);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        Deflater deflater;
        Reader reader(layer, 2048);
        ASSERT_EQ(layer.Begin(&socket, nullptr, &reader, nullptr, 0), 0);
        SendAll(deflater.Pack(plain, row.finish));
        ASSERT_TRUE(plat::PumpUntil([&] { return reader.received == plain; }, 10000));
        SendAll(row.tail);
        // The socket stays open: the layer itself ends it.
        ASSERT_TRUE(WaitClosed(reader));
        EXPECT_EQ(reader.events.back().error, plat::wsa::ConnectionAborted);
        EXPECT_TRUE(layer.Broken());
        EXPECT_FALSE(layer.Problem().empty());
        EXPECT_EQ(reader.received, plain) << "nothing of the broken part";
        char buffer[64];
        int length = sizeof buffer;
        EXPECT_EQ(layer.Receive(buffer, length), plat::wsa::WouldBlock);
        EXPECT_EQ(length, 0);
        EXPECT_EQ(layer.Send("QUIT\r\n", 6), plat::wsa::NotConnected);
    }
}

TEST_F(DeflateLayerTest, EachSendReachesThePeerWholeAndCompressed) {
    Reader reader(layer, 2048);
    EXPECT_EQ(layer.Send("GROUP a\r\n", 9), plat::wsa::NotConnected) << "before Begin";
    ASSERT_EQ(layer.Begin(&socket, nullptr, &reader, nullptr, 0), 0);
    PeerReader peerReader(peer);
    std::string sent;
    const std::vector<std::string> commands = {"GROUP misc.test\r\n", "ARTICLE 1\r\n",
                                               "ARTICLE 2\r\n", std::string(100000, 'p') + "\r\n"};
    for (const std::string& command : commands) {
        const int rc = layer.Send(command.data(), static_cast<int>(command.size()));
        ASSERT_TRUE(rc == 0 || rc == plat::wsa::WouldBlock) << rc;
        sent += command;
        // Each is readable as soon as it is sent, without the next.
        ASSERT_TRUE(plat::PumpUntil([&] { return Inflate(peerReader.received) == sent; }, 10000));
    }
    EXPECT_EQ(layer.PlainOut(), sent.size());
    EXPECT_EQ(layer.WireOut(), peerReader.received.size());
    EXPECT_LT(layer.WireOut() * 10, layer.PlainOut());
    EXPECT_EQ(layer.Send("", 0), 0);
}

}  // namespace
