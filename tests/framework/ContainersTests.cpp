// tests/framework: containers, MIDI messages and the byte chunk's bounds checks.
#include "framework/HeapBuf.h"
#include "framework/IByteChunk.h"
#include "framework/IMidiMsg.h"
#include "framework/ISysEx.h"
#include "framework/Mutex.h"
#include "framework/PtrList.h"
#include "framework/TextBuf.h"
#include "framework/TypedBuf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <mutex>

namespace {

using namespace plugfw;

TEST(HeapBuf, GrowsInGranulesAndShrinksOnlyWhenAllowed)
{
    HeapBuf buf(4096);
    EXPECT_EQ(buf.GetSize(), 0);
    EXPECT_EQ(buf.Resize(10), 10);
    EXPECT_EQ(buf.GetCapacity(), 4096);
    const uint8_t* before = buf.Get();
    EXPECT_EQ(buf.Resize(4000), 4000);
    EXPECT_EQ(buf.Get(), before) << "growth within a granule must not move the data";

    EXPECT_EQ(buf.Resize(20000), 20000);
    EXPECT_EQ(buf.GetCapacity(), 20480);
    EXPECT_EQ(buf.Resize(100, false), 100);
    EXPECT_EQ(buf.GetCapacity(), 20480) << "without allow-shrink the storage stays";
    EXPECT_EQ(buf.Resize(100, true), 100);
    EXPECT_EQ(buf.GetCapacity(), 4096);
    EXPECT_EQ(buf.Resize(-5), 0) << "a negative size counts as 0";
}

TEST(HeapBuf, KeepsContentsAndZeroFillsGrowth)
{
    HeapBuf buf(16);
    ASSERT_EQ(buf.Resize(3), 3);
    buf.Get()[0] = 1;
    buf.Get()[1] = 2;
    buf.Get()[2] = 3;
    ASSERT_EQ(buf.Resize(100), 100);
    EXPECT_EQ(buf.Get()[2], 3);
    for (int i = 3; i < 100; ++i) {
        ASSERT_EQ(buf.Get()[i], 0);
    }
}

TEST(TypedBuf, SizesInElementsAndChecksIndices)
{
    TypedBuf<double> buf(4096);
    EXPECT_EQ(buf.Resize(3), 3);
    EXPECT_EQ(buf.GetBytes(), 24);
    buf.Get()[2] = 2.5;
    EXPECT_TRUE(buf.Add(7.0));
    EXPECT_EQ(buf.GetSize(), 4);
    EXPECT_EQ(*buf.GetAt(2), 2.5);
    EXPECT_EQ(*buf.GetAt(3), 7.0);
    EXPECT_EQ(buf.GetAt(4), nullptr);
    EXPECT_EQ(buf.GetAt(-1), nullptr);
    EXPECT_EQ(buf.Resize(std::numeric_limits<int>::max()), 4) << "an impossible size leaves the buffer";
}

TEST(PtrList, OutOfRangeIndexYieldsNullAndEmptyingMayDelete)
{
    static int alive = 0;
    struct Counted {
        Counted() { ++alive; }
        ~Counted() { --alive; }
    };
    {
        PtrList<Counted> list;
        Counted a;
        list.Add(&a);
        EXPECT_EQ(list.Get(0), &a);
        EXPECT_EQ(list.Get(1), nullptr);
        EXPECT_EQ(list.Get(-1), nullptr);
        list.Empty(false);
        EXPECT_EQ(list.GetSize(), 0);
        EXPECT_EQ(alive, 1);
    }
    EXPECT_EQ(alive, 0);
    {
        OwnedPtrList<Counted> owned;
        owned.Add(new Counted);
        owned.Insert(0, new Counted);
        owned.Add(new Counted);
        EXPECT_EQ(alive, 3);
        owned.Delete(1, true);
        owned.Delete(7, true);
        EXPECT_EQ(alive, 2);
        EXPECT_EQ(owned.GetSize(), 2);
    }
    EXPECT_EQ(alive, 0);
}

TEST(TextBuf, FormatsAndCutsToTheLimit)
{
    TextBuf text;
    text.SetFormatted(32, "v%d.%d.%d", 1, 0, 1);
    EXPECT_STREQ(text.Get(), "v1.0.1");
    text.AppendFormatted(3, "%s", "abcdef");
    EXPECT_STREQ(text.Get(), "v1.0.1abc");
    text.Set("0123456789", 4);
    EXPECT_STREQ(text.Get(), "0123");
    text.Set(nullptr);
    EXPECT_TRUE(text.Empty());
}

TEST(Mutex, WorksWithStandardLocks)
{
    Mutex mutex;
    {
        std::scoped_lock lock(mutex);
        EXPECT_FALSE(mutex.TryEnter());
    }
    EXPECT_TRUE(mutex.TryEnter());
    mutex.Leave();
}

TEST(IMidiMsg, DecodesStatusOnlyForChannelMessages)
{
    struct Case {
        uint8_t status;
        IMidiMsg::EStatusMsg expected;
    };
    const Case cases[] = {
        {0x90, IMidiMsg::kNoteOn},         {0x9F, IMidiMsg::kNoteOn},       {0x80, IMidiMsg::kNoteOff},
        {0xB3, IMidiMsg::kControlChange},  {0xE0, IMidiMsg::kPitchWheel},   {0x7F, IMidiMsg::kNone},
        {0x10, IMidiMsg::kNone},           {0xF0, IMidiMsg::kNone},         {0xF8, IMidiMsg::kNone},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IMidiMsg(0, c.status, 60, 100).StatusMsg(), c.expected) << int(c.status);
    }
    IMidiMsg msg;
    msg.MakeNoteOnMsg(61, 99, 17, 3);
    EXPECT_EQ(msg.mOffset, 17);
    EXPECT_EQ(msg.Channel(), 3);
    EXPECT_EQ(msg.NoteNumber(), 61);
    EXPECT_EQ(msg.Velocity(), 99);
    msg.MakeNoteOffMsg(61, 0);
    EXPECT_EQ(msg.StatusMsg(), IMidiMsg::kNoteOff);
    EXPECT_EQ(IMidiMsg(0, 0xB0, 7, 127).ControlChange(), 1.0);
    EXPECT_EQ(IMidiMsg(0, 0xE0, 0, 64).PitchWheel(), 0.0);
}

TEST(SysExData, CopiesAtMost512Bytes)
{
    uint8_t big[600];
    for (int i = 0; i < 600; ++i) {
        big[i] = static_cast<uint8_t>(i);
    }
    const SysExData copy(5, 600, big);
    EXPECT_EQ(copy.mOffset, 5);
    EXPECT_EQ(copy.mSize, 512);
    EXPECT_EQ(copy.mData[511], big[511]);
    const SysExData zeros(0, 10, nullptr);
    EXPECT_EQ(zeros.mSize, 10);
    EXPECT_EQ(zeros.mData[0], 0);
}

TEST(IByteChunk, StoresNativeLittleEndianValues)
{
    IByteChunk chunk;
    const double d = 1.0;
    const int32_t i = 0x01020304;
    const bool b = true;
    EXPECT_EQ(chunk.Put(&d), 8);
    EXPECT_EQ(chunk.Put(&i), 12);
    EXPECT_EQ(chunk.Put(&b), 13);
    const uint8_t expected[13] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 4, 3, 2, 1, 1};
    ASSERT_EQ(chunk.Size(), 13);
    for (int k = 0; k < 13; ++k) {
        EXPECT_EQ(chunk.GetData()[k], expected[k]) << k;
    }
}

TEST(IByteChunk, GetReturnsMinusOnePastTheEndAndLeavesTheTarget)
{
    IByteChunk chunk;
    const double d = 2.5;
    chunk.Put(&d);
    double out = -7.0;
    EXPECT_EQ(chunk.Get(&out, 0), 8);
    EXPECT_EQ(out, 2.5);
    out = -7.0;
    for (int pos : {1, 8, -1, std::numeric_limits<int>::max(), std::numeric_limits<int>::min()}) {
        EXPECT_EQ(chunk.Get(&out, pos), -1) << pos;
        EXPECT_EQ(out, -7.0);
    }
}

TEST(IByteChunk, StringsRoundTripAndBadLengthsFail)
{
    IByteChunk chunk;
    chunk.PutStr("AB");
    chunk.PutStr("");
    TextBuf text;
    int pos = chunk.GetStr(text, 0);
    EXPECT_EQ(pos, 6);
    EXPECT_STREQ(text.Get(), "AB");
    pos = chunk.GetStr(text, pos);
    EXPECT_EQ(pos, 10);
    EXPECT_STREQ(text.Get(), "");
    EXPECT_EQ(chunk.GetStr(text, pos), -1);

    struct Case {
        int32_t length;
        int expected;
    };
    // Length field, then 4 bytes of text "xy\0z".
    const Case cases[] = {{4, 8}, {5, -1}, {-1, -1}, {std::numeric_limits<int32_t>::max(), -1},
                          {std::numeric_limits<int32_t>::min(), -1}, {0, 4}};
    for (const Case& c : cases) {
        IByteChunk bad;
        bad.Put(&c.length);
        bad.PutBytes("xy\0z", 4);
        TextBuf out("old");
        EXPECT_EQ(bad.GetStr(out, 0), c.expected) << c.length;
        if (c.expected == 8) {
            EXPECT_STREQ(out.Get(), "xy") << "the text is cut at the first zero byte";
        }
    }
}

} // namespace
