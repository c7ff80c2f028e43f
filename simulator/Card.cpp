#include "simulator/Card.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace sim {

namespace {

namespace fs = std::filesystem;

constexpr std::array<uint8_t, 3> kStartCommand = {0x01, 0x02, 0xEA};
constexpr size_t kWriteFrameBytes = 23;
constexpr size_t kReadFrameBytes = 7;

fs::path PathOf(const std::string& text) { return fs::u8path(text); }

}  // namespace

std::string MemoryFileProblem(const std::string& path)
{
    std::error_code ec;
    const fs::path p = PathOf(path);
    const fs::file_status status = fs::status(p, ec);
    if (status.type() == fs::file_type::not_found) {
        const fs::path folder = p.parent_path().empty() ? fs::path(".") : p.parent_path();
        if (!fs::is_directory(folder, ec)) return "its folder " + folder.u8string() + " does not exist";
        return {};
    }
    if (ec) return "cannot be read: " + ec.message();
    if (!fs::is_regular_file(status)) return "not a regular file";
    const uintmax_t size = fs::file_size(p, ec);
    if (ec) return "cannot be read: " + ec.message();
    if (size != kCardMemorySize)
        return std::to_string(size) + " bytes; a card memory file holds 262144 (0x40000)";
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::string("cannot be read: ") + std::strerror(errno);
    return {};
}

Card::Card(SimOptions& options, Random& random)
    : options_(options),
      random_(random),
      state_(options.cardIn ? CardState::Idle : CardState::Absent),
      // A card in the slot from the start has been used already: the program
      // will want it out before the reader is set up.
      used_(options.cardIn),
      memory_(kCardMemorySize, 0xFF)
{
    const std::string& file = options_.memoryFile;
    if (file.empty()) return;
    const std::string problem = MemoryFileProblem(file);
    if (!problem.empty()) throw std::runtime_error("simulator option 'memory': " + file + ": " + problem);
    std::error_code ec;
    if (!fs::exists(PathOf(file), ec)) return;  // a blank card
    std::ifstream in(PathOf(file), std::ios::binary);
    in.read(reinterpret_cast<char*>(memory_.data()), static_cast<std::streamsize>(memory_.size()));
    if (in.gcount() != static_cast<std::streamsize>(memory_.size()))
        throw std::runtime_error("simulator option 'memory': " + file + ": cannot be read whole");
}

void Card::Insert()
{
    if (state_ != CardState::Absent) return;
    state_ = CardState::Idle;
    used_ = false;
}

void Card::Remove()
{
    state_ = CardState::Absent;
    frame_.clear();
}

void Card::HoldInReset()
{
    if (state_ != CardState::Absent) state_ = CardState::Idle;
    frame_.clear();
}

std::vector<uint8_t> Card::Release()
{
    if (state_ == CardState::Absent) return {};
    used_ = true;
    state_ = CardState::Ready;
    frame_.clear();
    return options_.atr;
}

void Card::LoseClock() { HoldInReset(); }

Card::Reply Card::Receive(const HostByte& b, const LineFormat& base, std::pair<uint32_t, uint32_t> window)
{
    if (state_ == CardState::Ready) {
        if (!b.UnderstoodAt(base)) {
            frame_.clear();
            return {};
        }
        const uint8_t v = Sampled(b.value);
        frame_.push_back(v);
        if (frame_.size() > kStartCommand.size()) frame_.erase(frame_.begin());
        if (std::equal(frame_.begin(), frame_.end(), kStartCommand.begin(), kStartCommand.end())) {
            state_ = CardState::Loader;
            frame_.clear();
        }
        return {};
    }
    if (state_ != CardState::Loader) return {};

    const LineFormat& f = b.format;
    const bool understood = !b.garbled && f.dataBits == 8 && f.parity == kMarkParity &&
                            f.stopBits == kTwoStopBits && f.baud >= window.first && f.baud <= window.second;
    if (!understood) {
        frame_.clear();
        return {};
    }
    const uint8_t v = Sampled(b.value);
    if (frame_.empty() && v != 0xFF && v != 0xFE) return {};  // waiting for a frame start
    frame_.push_back(v);
    const size_t need = frame_[0] == 0xFF ? kWriteFrameBytes : kReadFrameBytes;
    if (frame_.size() < need) return {};
    Reply reply = LoaderFrame(b);
    frame_.clear();
    return reply;
}

uint8_t Card::Sampled(uint8_t value) { return random_.Chance(options_.cardNoise) ? random_.FlipBit(value) : value; }

Card::Reply Card::LoaderFrame(const HostByte& last)
{
    const std::vector<uint8_t>& f = frame_;
    const uint32_t address = (uint32_t{f[3]} << 16) | (uint32_t{f[4]} << 8) | f[5];
    if (f[1] != 0x00 || address % 16 != 0 || address > kCardMemorySize - 16) return {};
    if (f[0] == 0xFF) {
        if (f[2] != 0x13 || f[22] != 0xAA) return {};
        for (uint32_t i = 0; i < 16; ++i) {
            uint8_t v = f[6 + i];
            if (options_.badCell == static_cast<int64_t>(address + i)) v ^= 0x01;
            memory_[address + i] = v;
        }
        ++blockWrites_;
        if (options_.loseAckBlock == static_cast<int64_t>(address) && options_.loseAckCount > 0) {
            --options_.loseAckCount;
            return {};
        }
        if (random_.Chance(options_.ackLoss)) return {};
        std::vector<uint8_t> ack = options_.ackBytes;
        if (random_.Chance(options_.ackWrong) && ack.size() >= 3) ack[2] = 0xC1;
        return {std::move(ack), AnswerStart(options_, last.end, options_.ackDelayMs), last.format};
    }

    if (f[2] != 0x03 || f[6] != 0xAA) return {};
    std::vector<uint8_t> answer(22);
    answer[0] = 0xFE;
    answer[1] = 0x13;
    answer[2] = f[3];
    answer[3] = f[4];
    answer[4] = f[5];
    std::copy_n(memory_.begin() + address, 16, answer.begin() + 5);
    answer[21] = 0xAA;
    if (options_.randomAnswerBytes) {
        for (size_t i : {0, 1, 2, 3, 4, 21}) answer[i] = random_.Byte();
    }
    if (options_.readFlipAddress >= 0 && address == (static_cast<uint32_t>(options_.readFlipAddress) & ~15u)) {
        const size_t n = readFlipAnswers_++;
        if (n < options_.readFlipPattern.size() && options_.readFlipPattern[n] == '1')
            answer[5 + static_cast<size_t>(options_.readFlipAddress & 15)] ^= 0x01;
    }
    if (random_.Chance(options_.readCorrupt)) {
        const size_t i = 5 + random_.Next() % 16;
        answer[i] = random_.FlipBit(answer[i]);
    }
    ++blockReads_;
    return {std::move(answer), AnswerStart(options_, last.end, options_.readDelayMs), last.format};
}

bool Card::SaveMemory(std::string& error) const
{
    const std::string& file = options_.memoryFile;
    if (file.empty()) return true;
    const fs::path target = PathOf(file);
    fs::path temporary = target;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = file + ": cannot be written: " + std::strerror(errno);
            return false;
        }
        out.write(reinterpret_cast<const char*>(memory_.data()), static_cast<std::streamsize>(memory_.size()));
        out.close();
        if (!out) {
            error = file + ": cannot be written: " + std::strerror(errno);
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, target, ec);
    if (ec) {
        error = file + ": cannot be replaced: " + ec.message();
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}

}  // namespace sim
