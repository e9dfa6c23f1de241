// Flash memories of the simulated board.
//
// Boards with a serial flash expose it behind a chip-select register (0xEF2C)
// and a data register (0xEF30, one byte per access): select, send the page
// read opcode 0xD2, three address bytes and four dummy bytes, then read the
// page one byte at a time. Pages the profile does not fill read as erased
// (0xFF).
//
// The register-level device carries a flash controller at 0x85xx that reads
// 256-byte pages into 64 data registers, after an unlock sequence that has to
// be repeated before every page read. Its pages (board information, coarse
// DC offsets, high-voltage calibration) are built from the profile.
#include "ZarnSimBoardKinds.h"

#include <algorithm>
#include <cstring>

namespace zsim {
namespace {

constexpr uint8_t kPageReadOpcode = 0xD2;

// Flash type as the type register encodes it: 4 and 0 have 264-byte pages, 2 has 528.
uint32_t FlashTypeOf(uint32_t typeRegister) {
    if ((typeRegister & 0x3u) == 2)
        return 4;
    if (typeRegister & 0x1u)
        return 2;
    return 0;
}

void PutU16be(std::vector<uint8_t>& page, size_t at, uint32_t v) {
    page[at] = static_cast<uint8_t>(v >> 8);
    page[at + 1] = static_cast<uint8_t>(v);
}

void PutU16le(std::vector<uint8_t>& page, size_t at, uint32_t v) {
    page[at] = static_cast<uint8_t>(v);
    page[at + 1] = static_cast<uint8_t>(v >> 8);
}

void PutU32le(std::vector<uint8_t>& page, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        page[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t InfoWord(int step, int low, int high) {
    return (static_cast<uint32_t>(step) & 0xFF) | ((static_cast<uint32_t>(low) & 0xFF) << 8) |
           ((static_cast<uint32_t>(high) & 0xFFFF) << 16);
}

} // namespace

// ------------------------------------------------- serial flash of the boards

bool DigitizerBoard::FlashRead(uint32_t address, uint32_t* value) {
    if (address != REG_FLASH_DATA)
        return false;
    if (!flashSelected_ || flashCommand_.size() < 8 || flashCommand_[0] != kPageReadOpcode) {
        *value = 0xFF;
        return true;
    }
    uint32_t pageSize = FlashTypeOf(profile.flashType) == 2 ? 528 : 264;
    uint32_t page = flashAddress_ >> (pageSize == 528 ? 10 : 9);
    uint32_t offset = (flashAddress_ & ((pageSize == 528 ? 1u << 10 : 1u << 9) - 1)) + flashOffset_;
    page += offset / pageSize;
    offset %= pageSize;
    auto it = profile.flashPages.find(page);
    *value = (it != profile.flashPages.end() && offset < it->second.size()) ? it->second[offset] : 0xFF;
    flashOffset_++;
    return true;
}

bool DigitizerBoard::FlashWrite(uint32_t address, uint32_t value) {
    if (address == REG_FLASH_SELECT) {
        uint32_t type = FlashTypeOf(profile.flashType);
        uint32_t deselect = type == 0 ? 1u : 0u;
        if (value == type) {
            flashSelected_ = true;
            flashCommand_.clear();
            flashOffset_ = 0;
        } else if (value == deselect) {
            flashSelected_ = false;
        }
        SetRaw(REG_FLASH_SELECT, value);
        return true;
    }
    if (address == REG_FLASH_DATA) {
        if (flashSelected_ && flashCommand_.size() < 8) {
            flashCommand_.push_back(static_cast<uint8_t>(value));
            if (flashCommand_.size() == 4)
                flashAddress_ = (static_cast<uint32_t>(flashCommand_[1]) << 16) |
                                (static_cast<uint32_t>(flashCommand_[2]) << 8) | flashCommand_[3];
        }
        return true;
    }
    return false;
}

// ------------------------------------------- flash controller of the device

bool DeviceBoard::FlashRead(uint32_t address, uint32_t* value) {
    if (address == REG_DFLASH_COMMAND) {
        *value = flashBusy_ ? 2u : 0u; // busy for one poll after a command
        flashBusy_ = false;
        return true;
    }
    if (address >= REG_DFLASH_DATA && address < REG_DFLASH_DATA + 256) {
        uint32_t k = (address - REG_DFLASH_DATA) / 4;
        uint32_t word = 0;
        for (uint32_t i = 0; i < 4; ++i)
            if (4 * k + i < pageData_.size())
                word |= static_cast<uint32_t>(pageData_[4 * k + i]) << (8 * i);
        *value = word;
        return true;
    }
    return false;
}

bool DeviceBoard::FlashWrite(uint32_t address, uint32_t value) {
    switch (address) {
    case REG_DFLASH_UNLOCK_1: unlockStep_ = value == 0 ? 1 : 0; return true;
    case REG_DFLASH_UNLOCK_2: unlockStep_ = (unlockStep_ == 1 && value == 1) ? 2 : 0; return true;
    case REG_DFLASH_UNLOCK_WORD:
        unlocked_ = unlockStep_ == 2 && value == kDeviceFlashKey;
        unlockStep_ = 0;
        return true;
    case REG_DFLASH_COMMAND:
        if ((value & 0xFF) == 5 && unlocked_) {
            auto it = pages_.find(Raw(REG_DFLASH_PAGE));
            pageData_ = it != pages_.end() ? it->second : std::vector<uint8_t>(256, 0xFF);
            pageData_.resize(std::min<uint32_t>((Raw(REG_DFLASH_COUNT) & 0xFF) + 1, 256));
            flashBusy_ = true;
        }
        unlocked_ = false; // the lock closes again after every command
        return true;
    case REG_DFLASH_ID: return true; // read-only
    default: return address >= REG_DFLASH_DATA && address < REG_DFLASH_DATA + 256;
    }
}

// The device's flash pages, built from the profile.
void DeviceBoard::BuildFlash() {
    pages_.clear();
    const ZARN_DGTZ_BoardInfo_t& info = profile.info;
    auto page = [] { return std::vector<uint8_t>(256, 0xFF); };

    std::vector<uint8_t> board = page();
    board[0] = 'C';
    board[1] = 'R';
    board[14] = profile.hvPolarity == 'M' ? 144 : profile.hvPolarity == 'N' ? 145 : 146;
    board[15] = 2; // form factor
    PutU16be(board, 16, info.Model);
    PutU16be(board, 20, info.InfoWord);
    board[22] = 1; // flash size code
    PutU16be(board, 23, info.SerialNumber);
    board[25] = static_cast<uint8_t>(info.Channels);
    pages_[0x64u << 16] = board;

    std::vector<uint8_t> dco = page();
    dco[0] = 'C';
    dco[1] = 'D';
    uint32_t dcoChannels = std::min<uint32_t>(info.Channels, 2);
    dco[3] = static_cast<uint8_t>(dcoChannels);
    dco[4] = 11;
    for (uint32_t j = 0; j < dcoChannels; ++j)
        for (uint32_t k = 0; k < 11; ++k) {
            size_t at = 5 + 4 * (11 * j + k);
            PutU16le(dco, at, 3000 + 5000 * k + 17 * j); // first value of step k
            PutU16le(dco, at + 2, 32768 - 40 * k);       // its zero offset
        }
    pages_[0x65u << 16] = dco;

    // High-voltage header, range masks, and per range an information and a calibration page.
    static const int kVoltMax[3] = {5000, 2000, 500};
    static const int kCurrentMax[3] = {300, 1000, 100};
    uint32_t hvChannels = std::min<uint32_t>(profile.hvChannels, 2);
    uint32_t ranges = std::min<uint32_t>(profile.hvRanges, 3);
    std::vector<uint8_t> header = page();
    header[2] = 'V';
    header[3] = 'H';
    PutU32le(header, 4, hvChannels);
    std::vector<uint8_t> masks = page();
    masks[2] = 'S';
    masks[3] = 'V';
    size_t at = 8;
    for (uint32_t h = 0; h < hvChannels; ++h) {
        PutU32le(header, at, ranges);
        at += 4;
        PutU32le(masks, 4 + 4 * h, ~((1u << ranges) - 1));
        for (uint32_t r = 0; r < ranges; ++r) {
            uint32_t infoAddress = (0x130u + 8 * h + 2 * r) << 16;
            uint32_t calAddress = infoAddress + (1u << 16);
            PutU32le(header, at, infoAddress);
            PutU32le(header, at + 4, calAddress);
            at += 8;

            int negative = profile.hvPolarity == 'N' || (profile.hvPolarity == 'M' && h == 1);
            std::vector<uint8_t> inf = page();
            inf[2] = 'F';
            inf[3] = 'V';
            PutU32le(inf, 4, static_cast<uint32_t>(negative) | (r << 8));
            // RAMPUP, RAMPDOWN, VSET, VMON, VMAX, ISET, IMON, TMON
            const uint32_t words[8] = {InfoWord(1, 1, 500),
                                       InfoWord(1, 1, 500),
                                       InfoWord(100, 0, kVoltMax[r]),
                                       InfoWord(100, 0, kVoltMax[r]),
                                       InfoWord(100, 0, kVoltMax[r]),
                                       InfoWord(10, 0, kCurrentMax[r]),
                                       InfoWord(10, 0, kCurrentMax[r]),
                                       InfoWord(1, 0, 100)};
            for (int q = 0; q < 8; ++q)
                PutU32le(inf, 8 + 4 * q, words[q]);
            pages_[infoAddress] = inf;

            // Calibration: raw code = 10 x volts for the voltages, 100 x microamperes
            // for the currents, five points each, in hundredths.
            std::vector<uint8_t> cal = page();
            cal[2] = 'C';
            cal[3] = 'V';
            PutU32le(cal, 4, 900); // ramp factor
            size_t pos = 8;
            for (int group = 0; group < 5; ++group) {
                bool current = group >= 3; // VSET, VMON, VMAX, ISET, IMON
                double max = current ? kCurrentMax[r] : kVoltMax[r];
                double rawPerUnit = current ? 100.0 : 10.0;
                for (int k = 0; k < 5; ++k)
                    PutU32le(cal, pos + 4 * k, static_cast<uint32_t>(max * k / 4 * 100));
                for (int k = 0; k < 5; ++k)
                    PutU32le(cal, pos + 20 + 4 * k, static_cast<uint32_t>(max * k / 4 * rawPerUnit * 100));
                pos += 40;
            }
            pages_[calAddress] = cal;
        }
    }
    pages_[0x67u << 16] = header;
    pages_[0x12Cu << 16] = masks;
}

} // namespace zsim
