// framework: one short MIDI message with its sample offset inside the current
// processing slice.
#pragma once

#include <cstdint>

namespace plugfw {

struct IMidiMsg {
    // Message types: the high nibble of a channel-voice status byte.
    enum EStatusMsg {
        kNone = 0,
        kNoteOff = 8,
        kNoteOn = 9,
        kPolyAftertouch = 10,
        kControlChange = 11,
        kProgramChange = 12,
        kChannelAftertouch = 13,
        kPitchWheel = 14,
    };

    int32_t mOffset = 0;
    uint8_t mStatus = 0;
    uint8_t mData1 = 0;
    uint8_t mData2 = 0;

    constexpr IMidiMsg() noexcept = default;
    constexpr IMidiMsg(int32_t offset, uint8_t status, uint8_t data1, uint8_t data2) noexcept
        : mOffset(offset), mStatus(status), mData1(data1), mData2(data2)
    {
    }

    // The message type, or kNone for a byte without the status bit and for
    // system messages (0xF0 and above).
    [[nodiscard]] constexpr EStatusMsg StatusMsg() const noexcept
    {
        const unsigned nibble = static_cast<unsigned>(mStatus) >> 4;
        if ((mStatus & 0x80) == 0 || nibble == 0xF) {
            return kNone;
        }
        return static_cast<EStatusMsg>(nibble);
    }

    // MIDI channel 0..15.
    [[nodiscard]] constexpr int Channel() const noexcept { return mStatus & 0x0F; }

    // Note number for note and polyphonic-aftertouch messages, else -1.
    [[nodiscard]] constexpr int NoteNumber() const noexcept
    {
        switch (StatusMsg()) {
        case kNoteOn:
        case kNoteOff:
        case kPolyAftertouch: return mData1;
        default: return -1;
        }
    }

    // Velocity of note messages, else -1.
    [[nodiscard]] constexpr int Velocity() const noexcept
    {
        switch (StatusMsg()) {
        case kNoteOn:
        case kNoteOff: return mData2;
        default: return -1;
        }
    }

    // Controller number of a control change, else -1.
    [[nodiscard]] constexpr int ControlChangeIdx() const noexcept
    {
        return StatusMsg() == kControlChange ? mData1 : -1;
    }

    // Controller value of a control change scaled to [0, 1], else -1.
    [[nodiscard]] constexpr double ControlChange() const noexcept
    {
        return StatusMsg() == kControlChange ? static_cast<double>(mData2) / 127.0 : -1.0;
    }

    // Pitch wheel position in [-1, 1), else 0.
    [[nodiscard]] constexpr double PitchWheel() const noexcept
    {
        if (StatusMsg() != kPitchWheel) {
            return 0.0;
        }
        const int value = (mData2 << 7) | mData1;
        return static_cast<double>(value - 8192) / 8192.0;
    }

    constexpr void MakeNoteOnMsg(int noteNumber, int velocity, int offset, int channel = 0) noexcept
    {
        mStatus = static_cast<uint8_t>(0x90 | (channel & 0x0F));
        mData1 = static_cast<uint8_t>(noteNumber & 0x7F);
        mData2 = static_cast<uint8_t>(velocity & 0x7F);
        mOffset = offset;
    }

    constexpr void MakeNoteOffMsg(int noteNumber, int offset, int channel = 0) noexcept
    {
        mStatus = static_cast<uint8_t>(0x80 | (channel & 0x0F));
        mData1 = static_cast<uint8_t>(noteNumber & 0x7F);
        mData2 = 0;
        mOffset = offset;
    }

    constexpr void Clear() noexcept { *this = IMidiMsg(); }
};

} // namespace plugfw
