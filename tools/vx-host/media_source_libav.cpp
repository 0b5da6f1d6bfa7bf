// The file reader over FFmpeg: libavformat demuxes, libavcodec decodes,
// libswscale makes BGRA, libswresample makes the host's audio. Video and
// audio each read through their own demuxer, so the two never wait on each
// other's position in the file and may be driven from different threads.
#include "vx-host/media_source.h"
#include "vx-host/picture_clock.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

namespace Veltrix::host {
namespace {

std::string AvError(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

// One demuxer and one decoder for one stream of the file, looping at its end.
class StreamReader {
public:
    ~StreamReader() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&codec_);
        avformat_close_input(&format_);
    }

    bool Open(const std::string& path, AVMediaType type, bool required, std::string* error) {
        int r = avformat_open_input(&format_, path.c_str(), nullptr, nullptr);
        if (r < 0) return Fail(error, "cannot open '" + path + "': " + AvError(r));
        if ((r = avformat_find_stream_info(format_, nullptr)) < 0) {
            return Fail(error, "cannot read the streams of '" + path + "': " + AvError(r));
        }
        const AVCodec* decoder = nullptr;
        stream_ = av_find_best_stream(format_, type, -1, -1, &decoder, 0);
        if (stream_ < 0) {
            if (!required) return true;  // absent, and that is fine
            return Fail(error, "'" + path + "' has no " + av_get_media_type_string(type) + " stream");
        }
        if (!decoder) return Fail(error, "no decoder for the " + std::string(av_get_media_type_string(type)) + " of '" + path + "'");
        codec_ = avcodec_alloc_context3(decoder);
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        if (!codec_ || !packet_ || !frame_) return Fail(error, "out of memory");
        avcodec_parameters_to_context(codec_, format_->streams[stream_]->codecpar);
        codec_->thread_count = 1;
        if ((r = avcodec_open2(codec_, decoder, nullptr)) < 0) {
            return Fail(error, "cannot open the " + std::string(decoder->name) + " decoder for '" + path + "': " + AvError(r));
        }
        path_ = path;
        return true;
    }

    bool present() const { return stream_ >= 0 && codec_; }
    AVStream* stream() const { return format_->streams[stream_]; }
    AVCodecContext* codec() const { return codec_; }

    // The next decoded frame into frame(); at the file's end it starts over and
    // sets *looped. False with *error set when nothing decodes.
    bool Next(bool* looped, std::string* error) {
        bool loopedOnce = false;
        for (int guard = 0; guard < 1'000'000; ++guard) {
            int r = avcodec_receive_frame(codec_, frame_);
            if (r == 0) {
                decodedSinceLoop_ = true;
                return true;
            }
            if (r == AVERROR_EOF) {
                // A whole pass without a frame: the file decodes to nothing.
                if (loopedOnce && !decodedSinceLoop_) return Fail(error, "'" + path_ + "' decodes to no " + Kind());
                if (!Rewind(error)) return false;
                loopedOnce = true;
                if (looped) *looped = true;
                continue;
            }
            if (r != AVERROR(EAGAIN)) return Fail(error, "cannot decode the " + Kind() + " of '" + path_ + "': " + AvError(r));
            if (draining_) continue;
            r = av_read_frame(format_, packet_);
            if (r == AVERROR_EOF || (r < 0 && avio_feof(format_->pb))) {
                draining_ = true;
                avcodec_send_packet(codec_, nullptr);
                continue;
            }
            if (r < 0) return Fail(error, "cannot read '" + path_ + "': " + AvError(r));
            if (packet_->stream_index == stream_) {
                r = avcodec_send_packet(codec_, packet_);
                // A damaged packet is skipped; a file of nothing but those ends above.
                (void)r;
            }
            av_packet_unref(packet_);
        }
        return Fail(error, "cannot decode the " + Kind() + " of '" + path_ + "'");
    }

    AVFrame* frame() const { return frame_; }

    // Back to the first packet, as at the file's end (no frame is lost from
    // the next pass).
    bool Restart(std::string* error) { return Rewind(error); }

    // The stream's length in seconds, from the end of its last packet, read
    // through the file's packets without decoding; 0 when it cannot tell.
    // Leaves the reader at the start.
    double ScanLength(double frameSeconds, std::string* error) {
        const double tb = av_q2d(stream()->time_base);
        std::int64_t first = AV_NOPTS_VALUE, end = AV_NOPTS_VALUE, packets = 0;
        while (av_read_frame(format_, packet_) >= 0) {
            if (packet_->stream_index == stream_) {
                ++packets;
                if (packet_->pts != AV_NOPTS_VALUE) {
                    const std::int64_t length = packet_->duration > 0 ? packet_->duration
                                                                     : static_cast<std::int64_t>(frameSeconds / tb + 0.5);
                    first = first == AV_NOPTS_VALUE ? packet_->pts : std::min(first, packet_->pts);
                    end = end == AV_NOPTS_VALUE ? packet_->pts + length : std::max(end, packet_->pts + length);
                }
            }
            av_packet_unref(packet_);
        }
        if (!Rewind(error)) return -1;
        if (first != AV_NOPTS_VALUE && end > first) return static_cast<double>(end - first) * tb;
        return static_cast<double>(packets) * frameSeconds;
    }

private:
    bool Rewind(std::string* error) {
        decodedSinceLoop_ = false;
        draining_ = false;
        const int r = av_seek_frame(format_, stream_, stream()->start_time != AV_NOPTS_VALUE ? stream()->start_time : 0,
                                    AVSEEK_FLAG_BACKWARD);
        if (r < 0 && avformat_seek_file(format_, -1, INT64_MIN, 0, 0, 0) < 0) {
            return Fail(error, "cannot loop '" + path_ + "': " + AvError(r));
        }
        avcodec_flush_buffers(codec_);
        return true;
    }
    std::string Kind() const { return codec_ && codec_->codec_type == AVMEDIA_TYPE_AUDIO ? "audio" : "video"; }
    static bool Fail(std::string* error, const std::string& text) {
        if (error) *error = text;
        return false;
    }

    AVFormatContext* format_ = nullptr;
    AVCodecContext* codec_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    int stream_ = -1;
    bool draining_ = false;
    bool decodedSinceLoop_ = false;
    std::string path_;
};

class LibavSource final : public MediaSource {
public:
    ~LibavSource() override {
        sws_freeContext(sws_);
        swr_free(&swr_);
        av_frame_free(&held_);
        av_frame_free(&current_);
    }

    bool Open(const std::string& path, const MediaSourceOptions& o, std::string* error) {
        if (!video_.Open(path, AVMEDIA_TYPE_VIDEO, true, error)) return false;
        if (!audio_.Open(path, AVMEDIA_TYPE_AUDIO, false, error)) return false;
        AVCodecContext* v = video_.codec();
        width_ = o.width > 0 ? o.width : v->width;
        height_ = o.height > 0 ? o.height : v->height;
        if (width_ <= 0 || height_ <= 0) {
            *error = "'" + path + "' does not say its picture size";
            return false;
        }
        const AVRational rate = video_.stream()->avg_frame_rate;
        frameSeconds_ = rate.num > 0 && rate.den > 0 ? av_q2d(av_inv_q(rate)) : 1.0 / 30;
        // One pass is the video's length; the audio loops with it (padded with
        // silence or cut short), so the two never drift apart.
        passSeconds_ = video_.ScanLength(frameSeconds_, error);
        if (passSeconds_ < 0) return false;
        pictureClock_ = PictureClock(frameSeconds_, passSeconds_);
        held_ = av_frame_alloc();
        current_ = av_frame_alloc();
        if (!held_ || !current_) {
            *error = "out of memory";
            return false;
        }
        picture_.assign(static_cast<std::size_t>(width_) * height_ * 4, 0);
        // The first picture now: a file that cannot be decoded fails before the plug-in loads.
        if (!Advance(error)) return false;
        if (!Convert(error)) return false;
        if (audio_.present()) {
            rate_ = o.sampleRate;
            channels_ = o.channels;
            AVChannelLayout out{};
            av_channel_layout_default(&out, channels_);
            AVCodecContext* a = audio_.codec();
            AVChannelLayout in{};
            if (a->ch_layout.nb_channels > 0) av_channel_layout_copy(&in, &a->ch_layout);
            else av_channel_layout_default(&in, 1);
            const int r = swr_alloc_set_opts2(&swr_, &out, AV_SAMPLE_FMT_FLTP, rate_, &in, a->sample_fmt,
                                              a->sample_rate, 0, nullptr);
            av_channel_layout_uninit(&in);
            av_channel_layout_uninit(&out);
            if (r < 0 || swr_init(swr_) < 0) {
                *error = "cannot resample the audio of '" + path + "'";
                return false;
            }
            fifo_.assign(static_cast<std::size_t>(channels_), {});
            passSamples_ = static_cast<std::int64_t>(passSeconds_ * rate_ + 0.5);
            if (!Refill(error)) return false;
        }
        return true;
    }

    int width() const override { return width_; }
    int height() const override { return height_; }
    bool hasAudio() const override { return audio_.present(); }

    bool VideoAt(double seconds, std::uint8_t* bgra, int rowBytes, std::string* error) override {
        bool changed = false;
        // Catch up to the picture that is showing at `seconds`: the decoded one
        // waits in held_ until its time comes.
        while (heldTime_ <= seconds + 1e-6) {
            if (!Advance(error)) return false;
            changed = true;
        }
        if (changed && !Convert(error)) return false;
        for (int y = 0; y < height_; ++y) {
            std::memcpy(bgra + static_cast<std::size_t>(y) * rowBytes, picture_.data() + static_cast<std::size_t>(y) * width_ * 4,
                        static_cast<std::size_t>(width_) * 4);
        }
        return true;
    }

    void ReadAudio(float* const* buffers, int channels, std::uint32_t count) override {
        std::lock_guard<std::mutex> lock(audioMutex_);
        std::string error;
        while (audio_.present() && !audioBroken_ && Buffered() < count) {
            if (!Refill(&error)) audioBroken_ = true;  // silence from here on
        }
        const std::size_t have = std::min<std::size_t>(Buffered(), count);
        for (int c = 0; c < channels; ++c) {
            if (!buffers[c]) continue;
            float* out = buffers[c];
            if (c < channels_ && have > 0) std::memcpy(out, fifo_[c].data() + fifoRead_, have * sizeof(float));
            else std::fill(out, out + have, 0.0f);
            std::fill(out + have, out + count, 0.0f);
        }
        fifoRead_ += have;
        if (fifoRead_ > 1 << 16) {
            for (auto& ch : fifo_) ch.erase(ch.begin(), ch.begin() + static_cast<std::ptrdiff_t>(fifoRead_));
            fifoRead_ = 0;
        }
    }

private:
    std::size_t Buffered() const { return fifo_.empty() ? 0 : fifo_[0].size() - fifoRead_; }

    // The held picture becomes current; the next one is decoded and held.
    bool Advance(std::string* error) {
        if (haveHeld_) {
            std::swap(current_, held_);
            haveCurrent_ = true;
        }
        bool looped = false;
        if (!video_.Next(&looped, error)) return false;
        AVFrame* f = video_.frame();
        const std::int64_t ts = f->best_effort_timestamp;
        const double t = pictureClock_.Next(
            ts == AV_NOPTS_VALUE ? std::nullopt : std::optional<double>(static_cast<double>(ts) * av_q2d(video_.stream()->time_base)),
            looped);
        av_frame_unref(held_);
        av_frame_move_ref(held_, f);
        heldTime_ = t;
        if (!haveHeld_) {
            haveHeld_ = true;
            return Advance(error);  // the first becomes current, the second waits
        }
        return true;
    }

    bool Convert(std::string* error) {
        AVFrame* f = current_;
        if (!haveCurrent_ || !f || f->width <= 0 || f->height <= 0) {
            if (error) *error = "the video decoded to an empty picture";
            return false;
        }
        sws_ = sws_getCachedContext(sws_, f->width, f->height, static_cast<AVPixelFormat>(f->format), width_, height_,
                                    AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!sws_) {
            if (error) *error = "cannot convert the video's pixel format to BGRA";
            return false;
        }
        std::uint8_t* dst[4] = {picture_.data(), nullptr, nullptr, nullptr};
        const int dstStride[4] = {width_ * 4, 0, 0, 0};
        sws_scale(sws_, f->data, f->linesize, 0, f->height, dst, dstStride);
        return true;
    }

    // Appends n samples of silence to every channel.
    void Pad(std::int64_t n) {
        if (n <= 0) return;
        for (auto& ch : fifo_) ch.resize(ch.size() + static_cast<std::size_t>(n), 0.0f);
    }

    // Starts the resampler afresh for a new pass: what it still held belongs to the last one.
    bool ResetResampler(std::string* error) {
        swr_close(swr_);
        if (swr_init(swr_) < 0) {
            if (error) *error = "cannot resample the audio";
            return false;
        }
        return true;
    }

    bool Refill(std::string* error) {
        if (passSamples_ > 0 && passProduced_ >= passSamples_) {
            // The video's pass is over: the audio starts again with it.
            if (!audio_.Restart(error) || !ResetResampler(error)) return false;
            passProduced_ = 0;
        }
        bool looped = false;
        if (!audio_.Next(&looped, error)) return false;
        if (looped && passSamples_ > 0) {
            // The audio ended first: silence until the video's pass ends.
            Pad(passSamples_ - passProduced_);
            passProduced_ = 0;
            if (!ResetResampler(error)) return false;
        }
        AVFrame* f = audio_.frame();
        const int room = swr_get_out_samples(swr_, f->nb_samples);
        if (room <= 0) return true;
        std::vector<std::uint8_t*> planes(static_cast<std::size_t>(channels_));
        const std::size_t base = fifo_[0].size();
        for (int c = 0; c < channels_; ++c) {
            fifo_[c].resize(base + static_cast<std::size_t>(room));
            planes[c] = reinterpret_cast<std::uint8_t*>(fifo_[c].data() + base);
        }
        const int got = swr_convert(swr_, planes.data(), room, const_cast<const std::uint8_t**>(f->extended_data), f->nb_samples);
        std::int64_t kept = std::max(0, got);
        if (passSamples_ > 0) kept = std::min(kept, passSamples_ - passProduced_);  // longer audio is cut at the pass's end
        for (int c = 0; c < channels_; ++c) fifo_[c].resize(base + static_cast<std::size_t>(kept));
        passProduced_ += kept;
        av_frame_unref(f);
        if (got < 0) {
            if (error) *error = "cannot resample the audio";
            return false;
        }
        return true;
    }

    StreamReader video_, audio_;
    int width_ = 0, height_ = 0;
    double frameSeconds_ = 1.0 / 30;
    AVFrame* held_ = nullptr;       // decoded, not yet showing
    AVFrame* current_ = nullptr;    // showing
    bool haveHeld_ = false, haveCurrent_ = false;
    double heldTime_ = 0;
    double passSeconds_ = 0;  // the video's length: one loop of both streams (0: unknown)
    PictureClock pictureClock_{1.0 / 30, 0};
    std::vector<std::uint8_t> picture_;
    SwsContext* sws_ = nullptr;

    std::mutex audioMutex_;
    SwrContext* swr_ = nullptr;
    int rate_ = 48000, channels_ = 2;
    std::vector<std::vector<float>> fifo_;
    std::size_t fifoRead_ = 0;
    bool audioBroken_ = false;
    std::int64_t passSamples_ = 0;   // output samples per pass (0: audio loops at its own length)
    std::int64_t passProduced_ = 0;  // output samples of this pass so far
};

}  // namespace

std::unique_ptr<MediaSource> OpenMediaSource(const std::string& path, const MediaSourceOptions& options,
                                             std::string* error) {
    av_log_set_level(AV_LOG_ERROR);
    auto source = std::make_unique<LibavSource>();
    std::string why;
    if (!source->Open(path, options, &why)) {
        if (error) *error = why;
        return nullptr;
    }
    return source;
}

}  // namespace Veltrix::host
