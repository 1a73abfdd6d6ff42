// framework: audio processor base.
#include "framework/IAudioProcessor.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string_view>

namespace plugfw {
namespace {

// Splits like a tokenizer that skips leading and repeated separators: no empty
// pieces.
std::vector<std::string_view> splitSkippingEmpty(std::string_view text, char separator)
{
    std::vector<std::string_view> pieces;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && text[pos] == separator) {
            ++pos;
        }
        if (pos >= text.size()) {
            break;
        }
        const std::size_t end = std::min(text.find(separator, pos), text.size());
        pieces.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return pieces;
}

// "*" is a wildcard; otherwise a leading decimal integer ("3x" gives 3, "abc" 0),
// saturating at the largest int.
int parseBusChannels(std::string_view token)
{
    if (token == "*") {
        return kWildcardChannels;
    }
    std::size_t pos = 0;
    while (pos < token.size() && std::isspace(static_cast<unsigned char>(token[pos]))) {
        ++pos;
    }
    if (pos < token.size() && token[pos] == '+') {
        ++pos;
    }
    int64_t value = 0;
    while (pos < token.size() && token[pos] >= '0' && token[pos] <= '9') {
        value = std::min<int64_t>(value * 10 + (token[pos] - '0'), std::numeric_limits<int>::max());
        ++pos;
    }
    return static_cast<int>(value);
}

int clampToInt(int64_t v) noexcept
{
    return static_cast<int>(std::clamp<int64_t>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// Adds the busses of one side; returns the side's channel sum and bus count.
void parseSide(std::string_view side, ERoute direction, IOConfig& config, int64_t& sum, int& nBuses)
{
    for (std::string_view busToken : splitSkippingEmpty(side, '.')) {
        const int nChans = parseBusChannels(busToken);
        sum += nChans;
        if (nChans != 0) {
            if (!config.AddBusInfo(direction, nChans)) {
                throw std::bad_alloc();
            }
            ++nBuses;
        }
    }
}

} // namespace

IAudioProcessor::IAudioProcessor(const Config& config, EAPI /*api*/)
    : mPlugType(config.plugType),
      mDoesMidiIn(config.plugDoesMidiIn),
      mDoesMidiOut(config.plugDoesMidiOut),
      mDoesMPE(config.plugDoesMPE),
      mLatency(config.latency)
{
    int totalNInChans = 0;
    int totalNOutChans = 0;
    int totalNInBuses = 0;
    int totalNOutBuses = 0;
    ParseChannelIOStr(config.channelIOStr, mIOConfigs, totalNInChans, totalNOutChans, totalNInBuses, totalNOutBuses);

    const int totals[2] = {totalNInChans, totalNOutChans};
    for (int direction = kRouteInput; direction <= kRouteOutput; ++direction) {
        mAttachedPtrs[direction].assign(static_cast<std::size_t>(totals[direction]), nullptr);
        mOffsetPtrs[direction].assign(static_cast<std::size_t>(totals[direction]), nullptr);
    }
    for (int direction = kRouteInput; direction <= kRouteOutput; ++direction) {
        for (int i = 0; i < totals[direction]; ++i) {
            auto record = std::make_unique<IChannelData<>>();
            record->mSlot = &mAttachedPtrs[direction][static_cast<std::size_t>(i)];
            if (!mChannelData[direction].Add(record.get())) {
                throw std::bad_alloc();
            }
            record.release();
        }
    }
}

IAudioProcessor::~IAudioProcessor() = default;

int IAudioProcessor::ParseChannelIOStr(const char* ioStr, PtrList<IOConfig>& configs, int& totalNInChans,
                                       int& totalNOutChans, int& totalNInBuses, int& totalNOutBuses)
{
    totalNInChans = 0;
    totalNOutChans = 0;
    totalNInBuses = 0;
    totalNOutBuses = 0;
    if (!ioStr) {
        return 0;
    }
    const std::string copy(ioStr);
    int nParsed = 0;
    for (std::string_view token : splitSkippingEmpty(copy, ' ')) {
        auto config = std::make_unique<IOConfig>();
        const std::vector<std::string_view> sides = splitSkippingEmpty(token, '-');
        int64_t inSum = 0;
        int64_t outSum = 0;
        int nInBuses = 0;
        int nOutBuses = 0;
        if (!sides.empty()) {
            parseSide(sides[0], kRouteInput, *config, inSum, nInBuses);
        }
        if (sides.size() > 1) {
            parseSide(sides[1], kRouteOutput, *config, outSum, nOutBuses);
        }
        totalNInChans = std::max(totalNInChans, clampToInt(inSum));
        totalNOutChans = std::max(totalNOutChans, clampToInt(outSum));
        totalNInBuses = std::max(totalNInBuses, nInBuses);
        totalNOutBuses = std::max(totalNOutBuses, nOutBuses);
        if (!configs.Add(config.get())) {
            throw std::bad_alloc();
        }
        config.release();
        ++nParsed;
    }
    return nParsed;
}

int IAudioProcessor::MaxNBuses(ERoute direction, int* configIdxWithTheMostBuses) const noexcept
{
    int maxNBuses = 0;
    int configIdx = 0;
    for (int i = 0; i < NIOConfigs(); ++i) {
        const int nBuses = mIOConfigs.Get(i)->NBuses(direction);
        if (nBuses >= maxNBuses) {
            maxNBuses = nBuses;
            configIdx = i;
        }
    }
    if (configIdxWithTheMostBuses) {
        *configIdxWithTheMostBuses = configIdx;
    }
    return maxNBuses;
}

int IAudioProcessor::MaxNChannelsForBus(ERoute direction, int busIdx) const noexcept
{
    const IOConfig* first = mIOConfigs.Get(0);
    if (!first) {
        return 0;
    }
    if (first->ContainsWildcard(direction)) {
        return -1;
    }
    const int nBuses = MaxNBuses(direction);
    if (nBuses == 0 || busIdx < 0 || busIdx >= nBuses) {
        return 0;
    }
    int maxChans = 0;
    for (int i = 0; i < NIOConfigs(); ++i) {
        maxChans = std::max(maxChans, mIOConfigs.Get(i)->NChansOnBusSAFE(direction, busIdx));
    }
    return maxChans;
}

int IAudioProcessor::NChannelsConnected(ERoute direction) const noexcept
{
    int count = 0;
    for (int i = 0; i < MaxNChannels(direction); ++i) {
        count += mChannelData[direction].Get(i)->mIsConnected ? 1 : 0;
    }
    return count;
}

bool IAudioProcessor::IsChannelConnected(ERoute direction, int chIdx) const noexcept
{
    const IChannelData<>* record = mChannelData[direction].Get(chIdx);
    return record && record->mIsConnected;
}

bool IAudioProcessor::LegalIO(int nIn, int nOut) const noexcept
{
    for (int i = 0; i < NIOConfigs(); ++i) {
        const IOConfig* config = mIOConfigs.Get(i);
        const bool inOK = nIn < 0 || config->GetTotalNChannels(kRouteInput) == nIn;
        const bool outOK = nOut < 0 || config->GetTotalNChannels(kRouteOutput) == nOut;
        if (inOK && outOK) {
            return true;
        }
    }
    return false;
}

int IAudioProcessor::GetIOConfigWithChanCounts(const std::vector<int>& inputBusChans,
                                               const std::vector<int>& outputBusChans) const noexcept
{
    const std::vector<int>* wanted[2] = {&inputBusChans, &outputBusChans};
    for (int i = 0; i < NIOConfigs(); ++i) {
        const IOConfig* config = mIOConfigs.Get(i);
        bool matches = true;
        for (int direction = kRouteInput; direction <= kRouteOutput && matches; ++direction) {
            const auto route = static_cast<ERoute>(direction);
            const std::vector<int>& counts = *wanted[direction];
            if (config->NBuses(route) != static_cast<int>(counts.size())) {
                matches = false;
                break;
            }
            for (std::size_t b = 0; b < counts.size(); ++b) {
                if (config->NChansOnBusSAFE(route, static_cast<int>(b)) != counts[b]) {
                    matches = false;
                    break;
                }
            }
        }
        if (matches) {
            return i;
        }
    }
    return -1;
}

void IAudioProcessor::SetBlockSize(int blockSize)
{
    blockSize = std::max(blockSize, 0);
    if (blockSize == mBlockSize) {
        return;
    }
    int achieved = blockSize;
    for (int direction = kRouteInput; direction <= kRouteOutput; ++direction) {
        for (int i = 0; i < MaxNChannels(static_cast<ERoute>(direction)); ++i) {
            TypedBuf<float>& scratch = mChannelData[direction].Get(i)->mScratch;
            achieved = std::min(achieved, scratch.Resize(blockSize, true));
            if (scratch.GetSize() > 0) {
                std::memset(scratch.Get(), 0, static_cast<std::size_t>(scratch.GetBytes()));
            }
        }
    }
    // Should memory run out, the block size stays within every scratch buffer.
    mBlockSize = achieved;
}

double IAudioProcessor::GetSamplesPerBeat() const noexcept
{
    return mTimeInfo.mTempo > 0.0 ? mSampleRate.load() * 60.0 / mTimeInfo.mTempo : 0.0;
}

unsigned IAudioProcessor::GetAUPluginType() const noexcept
{
    switch (mPlugType) {
    case 0: return static_cast<unsigned>(mDoesMidiIn ? MakeFourCC("aumf") : MakeFourCC("aufx"));
    case 1: return static_cast<unsigned>(MakeFourCC("aumu"));
    case 2: return static_cast<unsigned>(MakeFourCC("aumi"));
    default: return static_cast<unsigned>(MakeFourCC("aufx"));
    }
}

void IAudioProcessor::ProcessBlock(float** inputs, float** outputs, int nFrames)
{
    if (nFrames <= 0 || !outputs) {
        return;
    }
    const int nIn = inputs ? MaxNChannels(kRouteInput) : 0;
    const std::size_t bytes = static_cast<std::size_t>(nFrames) * sizeof(float);
    for (int i = 0; i < MaxNChannels(kRouteOutput); ++i) {
        float* out = outputs[i];
        if (!out) {
            continue;
        }
        const float* in = i < nIn ? inputs[i] : nullptr;
        if (in) {
            if (in != out) {
                std::memmove(out, in, bytes);
            }
        } else {
            std::memset(out, 0, bytes);
        }
    }
}

void IAudioProcessor::ProcessMidiMsg(const IMidiMsg& msg)
{
    (void)SendMidiMsg(msg);
}

bool IAudioProcessor::SendMidiMsgs(TypedBuf<IMidiMsg>& msgs)
{
    bool allSent = true;
    for (int i = 0; i < msgs.GetSize(); ++i) {
        allSent &= SendMidiMsg(msgs.Get()[i]);
    }
    return allSent;
}

void IAudioProcessor::GetBusName(ERoute direction, int busIdx, int nBuses, TextBuf& name) const
{
    if (direction == kRouteInput) {
        if (nBuses == 2) {
            name.Set(busIdx == 0 ? "Main" : "Aux");
        } else if (nBuses == 1) {
            name.Set("Input");
        } else {
            name.SetFormatted(kMaxBusNameLength, "Input %i", busIdx);
        }
    } else {
        if (nBuses == 1) {
            name.Set("Output");
        } else {
            name.SetFormatted(kMaxBusNameLength, "Output %i", busIdx);
        }
    }
}

float* IAudioProcessor::AttachedPtr(ERoute direction, int idx) const noexcept
{
    const std::vector<float*>& ptrs = mAttachedPtrs[direction];
    return (idx >= 0 && idx < static_cast<int>(ptrs.size())) ? ptrs[static_cast<std::size_t>(idx)] : nullptr;
}

void IAudioProcessor::SetChannelConnections(ERoute direction, int idx, int n, bool connected) noexcept
{
    // audio thread: stores flags and pointers only.
    const int64_t start = std::max(idx, 0);
    const int64_t end = std::min<int64_t>(MaxNChannels(direction), static_cast<int64_t>(idx) + n);
    for (int64_t i = start; i < end; ++i) {
        IChannelData<>* record = mChannelData[direction].Get(static_cast<int>(i));
        record->mIsConnected = connected;
        if (!connected) {
            *record->mSlot = record->mScratch.Get();
        }
    }
}

void IAudioProcessor::AttachBuffers(ERoute direction, int idx, int n, float** ppData, int /*nFrames*/) noexcept
{
    // audio thread: stores pointers only.
    if (!ppData) {
        return;
    }
    const int64_t start = std::max(idx, 0);
    const int64_t end = std::min<int64_t>(MaxNChannels(direction), static_cast<int64_t>(idx) + n);
    int next = 0;
    for (int64_t i = start; i < end; ++i) {
        IChannelData<>* record = mChannelData[direction].Get(static_cast<int>(i));
        if (record->mIsConnected) {
            *record->mSlot = ppData[next++];
        }
    }
}

void IAudioProcessor::AttachBuffers(ERoute direction, int idx, int n, double** ppData, int nFrames) noexcept
{
    // audio thread: converts into preallocated scratch buffers.
    if (!ppData) {
        return;
    }
    const int64_t start = std::max(idx, 0);
    const int64_t end = std::min<int64_t>(MaxNChannels(direction), static_cast<int64_t>(idx) + n);
    int next = 0;
    for (int64_t i = start; i < end; ++i) {
        IChannelData<>* record = mChannelData[direction].Get(static_cast<int>(i));
        if (!record->mIsConnected) {
            continue;
        }
        double* host = ppData[next++];
        float* __restrict scratch = record->mScratch.Get();
        *record->mSlot = scratch;
        if (direction == kRouteInput) {
            const int frames = std::clamp(nFrames, 0, record->mScratch.GetSize());
            if (host) {
                for (int f = 0; f < frames; ++f) {
                    scratch[f] = static_cast<float>(host[f]);
                }
            }
        } else {
            record->mHostBuffer = host;
        }
    }
}

void IAudioProcessor::ProcessBuffersWithOffset(float, int offset, int nFrames) noexcept
{
    // audio thread: pointer arithmetic into arrays sized at construction.
    for (int direction = kRouteInput; direction <= kRouteOutput; ++direction) {
        std::vector<float*>& attached = mAttachedPtrs[direction];
        std::vector<float*>& offsetPtrs = mOffsetPtrs[direction];
        for (std::size_t i = 0; i < attached.size(); ++i) {
            offsetPtrs[i] = attached[i] ? attached[i] + offset : nullptr;
        }
    }
    float** inputs = mOffsetPtrs[kRouteInput].empty() ? nullptr : mOffsetPtrs[kRouteInput].data();
    float** outputs = mOffsetPtrs[kRouteOutput].empty() ? nullptr : mOffsetPtrs[kRouteOutput].data();
    ProcessBlock(inputs, outputs, nFrames);
}

void IAudioProcessor::ProcessBuffers(float, int nFrames) noexcept
{
    float** inputs = mAttachedPtrs[kRouteInput].empty() ? nullptr : mAttachedPtrs[kRouteInput].data();
    float** outputs = mAttachedPtrs[kRouteOutput].empty() ? nullptr : mAttachedPtrs[kRouteOutput].data();
    ProcessBlock(inputs, outputs, nFrames);
}

void IAudioProcessor::ProcessBuffers(double, int nFrames) noexcept
{
    const int frames = std::clamp(nFrames, 0, mBlockSize);
    ProcessBuffers(0.0f, frames);
    for (int i = 0; i < MaxNChannels(kRouteOutput); ++i) {
        const IChannelData<>* record = mChannelData[kRouteOutput].Get(i);
        if (record->mIsConnected && record->mHostBuffer && *record->mSlot) {
            const float* __restrict source = *record->mSlot;
            double* __restrict host = record->mHostBuffer;
            for (int f = 0; f < frames; ++f) {
                host[f] = source[f];
            }
        }
    }
}

void IAudioProcessor::ProcessBuffersAccumulating(int nFrames) noexcept
{
    const int frames = std::clamp(nFrames, 0, mBlockSize);
    ProcessBuffers(0.0f, frames);
    for (int i = 0; i < MaxNChannels(kRouteOutput); ++i) {
        const IChannelData<>* record = mChannelData[kRouteOutput].Get(i);
        if (record->mIsConnected && record->mHostBuffer && *record->mSlot) {
            const float* __restrict source = *record->mSlot;
            double* __restrict host = record->mHostBuffer;
            for (int f = 0; f < frames; ++f) {
                host[f] += source[f];
            }
        }
    }
}

void IAudioProcessor::ZeroScratchBuffers() noexcept
{
    for (int direction = kRouteInput; direction <= kRouteOutput; ++direction) {
        for (int i = 0; i < MaxNChannels(static_cast<ERoute>(direction)); ++i) {
            TypedBuf<float>& scratch = mChannelData[direction].Get(i)->mScratch;
            const int frames = std::min(mBlockSize, scratch.GetSize());
            if (frames > 0) {
                std::memset(scratch.Get(), 0, static_cast<std::size_t>(frames) * sizeof(float));
            }
        }
    }
}

void IAudioProcessor::SetChannelLabel(ERoute direction, int idx, const char* formatStr, bool zeroBased)
{
    IChannelData<>* record = mChannelData[direction].Get(idx);
    if (!record || !formatStr) {
        return;
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    record->mChannelLabel.SetFormatted(IChannelData<>::kMaxLabelLength, formatStr, zeroBased ? idx : idx + 1);
#pragma GCC diagnostic pop
}

const char* IAudioProcessor::GetChannelLabel(ERoute direction, int idx) const noexcept
{
    const IChannelData<>* record = mChannelData[direction].Get(idx);
    return record ? record->mChannelLabel.Get() : "";
}

int GetAPIBusTypeForChannelIOConfig(int /*configIdx*/, ERoute direction, int busIdx, const IOConfig* config,
                                    TypedBuf<uint64_t>* busTypes)
{
    if (!config || !busTypes) {
        return 0;
    }
    const int nChans = config->NChansOnBusSAFE(direction, busIdx);
    uint64_t tag = 0;
    if (nChans == 2) {
        tag = (uint64_t{101} << 16) | 2u;
    } else if (nChans > 0) {
        tag = (uint64_t{190} << 16) | (static_cast<uint64_t>(nChans) & 0xFFFFu);
    }
    (void)busTypes->Add(tag);
    return 0;
}

} // namespace plugfw
