// Packetize + parity cost against a bare cm256 floor, and pacer accuracy over
// loopback UDP. Prints one table.
#include <arpa/inet.h>
#include <cm256cc/cm256.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "transport/cauchy_encoder.h"
#include "transport/fec.h"
#include "transport/packetizer.h"
#include "transport/pacer.h"

using namespace Veltrix;
using Steady = std::chrono::steady_clock;

namespace {

template <class F>
double MedianUs(int reps, F&& f) {
    std::vector<double> t;
    for (int i = 0; i < reps; ++i) {
        auto a = Steady::now();
        f();
        t.push_back(std::chrono::duration<double, std::micro>(Steady::now() - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

void PacketizeRow(const char* name, std::size_t len, int p) {
    std::vector<uint8_t> frame(len);
    for (std::size_t i = 0; i < len; ++i) frame[i] = static_cast<uint8_t>(i * 131 + 7);
    const int d = static_cast<int>((len + 1439) / 1440);
    uint32_t seq = 0;
    FrameGroup g;
    auto ours = MedianUs(300, [&] {
        PacketizeGroup(p ? kStreamTypeVideo : kStreamTypeAudio, false, p, 0, seq, 0, frame.data(), len, p > 0, g);
    });
    static CM256 codec;
    std::vector<uint8_t> staged(static_cast<std::size_t>(d) * 1440, 0), rec(static_cast<std::size_t>(std::max(p, 1)) * 1440);
    std::vector<CM256::cm256_block> blocks(static_cast<std::size_t>(d));
    for (int j = 0; j < d; ++j) blocks[static_cast<std::size_t>(j)] = {staged.data() + j * 1440, static_cast<unsigned char>(j)};
    auto floor = MedianUs(300, [&] {
        std::memcpy(staged.data(), frame.data(), len);
        if (p) codec.cm256_encode({d, p, 1440}, blocks.data(), rec.data());
    });
    double own = 0;
    if (p) own = MedianUs(300, [&] { CauchyEncode(staged.data(), d, p, 1440, rec.data()); });
    double cmOnly = p ? MedianUs(300, [&] { codec.cm256_encode({d, p, 1440}, blocks.data(), rec.data()); }) : 0;
    std::printf("| %-28s | D=%3d P=%2d | %9.1f | %9.1f | %5.2f | %9.1f | %9.1f |\n", name, d, p, ours, floor,
                ours / floor, cmOnly, own);
}

void PacerRow(uint32_t bitrate) {
    int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
    int buf = 8 << 20;
    setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t alen = sizeof addr;
    getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &alen);
    timeval tv{0, 200000};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0};
    std::thread reader([&] {
        char b[2048];
        while (!stop.load()) {
            ssize_t n = recv(rx, b, sizeof b, 0);
            if (n > 0) received += static_cast<uint64_t>(n);
        }
    });
    Pacer pacer;
    pacer.SetBitrate(bitrate);
    std::atomic<uint64_t> sends{0};
    int64_t maxGapUs = 0;
    // The bucket remembers at most 20 ms: a longer gap between two sends (the
    // thread not scheduled, or the queue empty) is sending time lost for good.
    constexpr int64_t kBucketUs = 20'000;
    int64_t longGaps = 0, lostUs = 0;
    Steady::time_point last{};
    auto send = [&](const uint8_t* d, std::size_t n) {
        auto now = Steady::now();
        if (last.time_since_epoch().count()) {
            const int64_t gap = std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
            maxGapUs = std::max(maxGapUs, gap);
            if (gap > kBucketUs) {
                ++longGaps;
                lostUs += gap - kBucketUs;
            }
        }
        last = now;
        ++sends;
        return sendto(tx, d, n, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == static_cast<ssize_t>(n);
    };
    rusage r0{}, r1{};
    getrusage(RUSAGE_SELF, &r0);
    pacer.Start(send, send);
    const auto start = Steady::now();
    const auto end = start + std::chrono::seconds(2);
    // Keep the queue fed so the bucket, not the producer, sets the pace.
    while (Steady::now() < end) {
        if (pacer.QueuedVideoGroups() < 4) {
            FrameGroup g;
            g.kind = StreamKind::kVideo;
            for (int i = 0; i < 100; ++i) g.datagrams.emplace_back(1464, 0x5A);
            pacer.EnqueueVideo(std::move(g));
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    const uint64_t bytes = pacer.BytesSent();
    const double secs = std::chrono::duration<double>(Steady::now() - start).count();
    pacer.Stop();
    getrusage(RUSAGE_SELF, &r1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    reader.join();
    close(rx);
    close(tx);
    auto us = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
    };
    const double rate = static_cast<double>(bytes) * 8 / secs;
    std::printf("| %5u Mbit/s | %12.3f | %+6.2f %% | %10.1f %% | %8.2f | %7lld | %lld (%.2f %%) | %llu |\n", bitrate / 1000000,
                rate / 1e6, (rate / bitrate - 1) * 100, 100.0 * static_cast<double>(received.load()) / static_cast<double>(bytes),
                (us(r1) - us(r0)) / static_cast<double>(sends.load()), static_cast<long long>(maxGapUs),
                static_cast<long long>(longGaps), 100.0 * static_cast<double>(lostUs) / (secs * 1e6),
                static_cast<unsigned long long>(pacer.Failed()));
}

}  // namespace

int main() {
    std::printf("FEC: own encoder kernel=%s, cm256 available=%s\n\n", CauchyKernelName(CauchyEncoderKernel()),
                FecAvailable() ? "yes" : "no");
    std::printf("| frame                        | blocks     | pkt+FEC us | floor us | ratio | cm256 us  | own us    |\n");
    std::printf("|------------------------------|------------|------------|----------|-------|-----------|-----------|\n");
    PacketizeRow("video 288,000 B", 288000, 20);
    PacketizeRow("video 14,400 B", 14400, 1);
    PacketizeRow("audio 8,200 B (no parity)", 8200, 0);
    std::printf("\nfloor = memcpy of the frame + bare cm256_encode; pkt+FEC = PacketizeGroup incl. per-datagram vectors\n\n");
    std::printf("| set rate     | sent Mbit/s  | error    | received     | CPU us/dg | max gap us | gaps > 20 ms (time lost) | failed |\n");
    std::printf("|--------------|--------------|----------|--------------|-----------|------------|--------------------------|--------|\n");
    for (uint32_t r : {15'000'000u, 100'000'000u, 300'000'000u}) PacerRow(r);
    return 0;
}
