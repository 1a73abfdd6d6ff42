// cli: render events at their frames.
#include "cli/EventSchedule.h"

#include "cli/AsciiCase.h"
#include "engine/DecoderParameters.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace qircli {

namespace {

constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kNoteOff = 0x80;
constexpr uint8_t kNoteVelocity = 100;

std::string Seconds(double s)
{
    std::ostringstream out;
    out << s << " s";
    return out.str();
}

std::shared_ptr<AUParameter> FindParameter(AUParameterTree& tree, const std::string& name)
{
    if (const std::optional<long> index = ParameterIndexOf(name)) {
        return *index >= 0 ? tree.parameterWithAddress(static_cast<AUParameterAddress>(*index)) : nullptr;
    }
    for (const auto& parameter : tree.allParameters()) {
        if (Lower(parameter->displayName()) == Lower(name)) {
            return parameter;
        }
    }
    return nullptr;
}

std::string ParameterList(AUParameterTree& tree)
{
    std::string list;
    for (const auto& parameter : tree.allParameters()) {
        list += (list.empty() ? "\"" : ", \"") + parameter->displayName() + "\"";
    }
    return list;
}

} // namespace

int64_t EventFrame(double seconds, double sampleRate) noexcept
{
    return std::llround(seconds * sampleRate);
}

bool EventSchedule::Build(const std::vector<AutomationRequest>& automation, const std::vector<NoteRequest>& notes,
                          AUParameterTree& tree, double sampleRate, int64_t renderFrames, int decodeOrder,
                          std::string& error)
{
    mEvents.clear();
    mCursor = 0;
    const double renderSeconds = static_cast<double>(renderFrames) / sampleRate;
    for (const AutomationRequest& request : automation) {
        const std::string prefix = "--set " + request.mText + ": ";
        const auto parameter = FindParameter(tree, request.mParameter);
        if (!parameter) {
            error = prefix + "no parameter \"" + request.mParameter + "\"; give an index from 0 to " +
                    std::to_string(tree.allParameters().size() - 1) + " or one of " + ParameterList(tree);
            return false;
        }
        const AUParameterAddress address = parameter->address();
        // The renderer does not offer their automation: a new decoder set
        // arrives from a loader thread at no defined sample.
        if (address == qir::kDecoderMode || address == qir::kDecodeOrder) {
            error = prefix + "\"" + parameter->displayName() +
                    "\" cannot be automated (a decoder set loads in the background); use --mode or --order";
            return false;
        }
        double value = 0.0;
        char* end = nullptr;
        errno = 0;
        value = std::strtod(request.mValue.c_str(), &end);
        const bool numeric = errno == 0 && end == request.mValue.c_str() + request.mValue.size() && std::isfinite(value);
        if (!numeric) {
            const auto& texts = parameter->valueStrings();
            const auto it = std::find_if(texts.begin(), texts.end(),
                                         [&](const std::string& t) { return Lower(t) == Lower(request.mValue); });
            if (it == texts.end()) {
                error = prefix + "\"" + request.mValue + "\" is not a value of \"" + parameter->displayName() + "\"";
                return false;
            }
            value = parameter->minValue() + static_cast<double>(it - texts.begin());
        }
        if (value < parameter->minValue() || value > parameter->maxValue()) {
            std::ostringstream range;
            range << parameter->minValue() << " to " << parameter->maxValue();
            error = prefix + request.mValue + " is out of range for \"" + parameter->displayName() + "\" (" +
                    range.str() + ")";
            return false;
        }
        // FuMa conventions are first-order only.
        const bool fuma = (address == qir::kChannelLayout && std::lround(value) == qir::kChannelLayoutFuMa) ||
                          (address == qir::kNormalizationType && std::lround(value) == qir::kNormalizationFuMa);
        if (fuma && decodeOrder != 1) {
            error = prefix + "FuMa is a first-order convention; this render decodes order " +
                    std::to_string(decodeOrder);
            return false;
        }
        Event event;
        event.mFrame = EventFrame(request.mSeconds, sampleRate);
        if (event.mFrame >= renderFrames) {
            error = prefix + Seconds(request.mSeconds) + " is after the end of the render (" + Seconds(renderSeconds) + ")";
            return false;
        }
        event.mAddress = address;
        event.mValue = static_cast<AUValue>(value);
        mEvents.push_back(event);
    }
    for (const NoteRequest& note : notes) {
        Event on;
        on.mFrame = EventFrame(note.mStart, sampleRate);
        if (on.mFrame >= renderFrames) {
            error = "--note " + std::to_string(note.mNote) + "@" + Seconds(note.mStart) +
                    ": the note starts after the end of the render (" + Seconds(renderSeconds) + ")";
            return false;
        }
        on.mMidi = true;
        on.mData[0] = kNoteOn;
        on.mData[1] = static_cast<uint8_t>(note.mNote);
        on.mData[2] = kNoteVelocity;
        mEvents.push_back(on);
        if (note.mEnd) {
            Event off = on;
            off.mFrame = std::max(EventFrame(*note.mEnd, sampleRate), on.mFrame + 1);
            off.mData[0] = kNoteOff;
            off.mData[2] = 0;
            // A release after the end of the render never sounds.
            if (off.mFrame < renderFrames) {
                mEvents.push_back(off);
            }
        }
    }
    return true;
}

void EventSchedule::AddParameterChange(int64_t frame, AUParameterAddress address, AUValue value)
{
    Event event;
    event.mFrame = frame;
    event.mAddress = address;
    event.mValue = value;
    mEvents.push_back(event);
}

void EventSchedule::Place(int64_t offset)
{
    for (Event& event : mEvents) {
        event.mTime = std::max<int64_t>(0, event.mFrame + offset);
    }
    // Hosts deliver events in time order; equal times keep the command line's order.
    std::stable_sort(mEvents.begin(), mEvents.end(), [](const Event& a, const Event& b) { return a.mTime < b.mTime; });
    mCursor = 0;
}

const AURenderEvent* EventSchedule::Collect(int64_t start, int64_t frames, std::vector<AURenderEvent>& storage)
{
    storage.clear();
    while (mCursor < mEvents.size() && mEvents[mCursor].mTime < start + frames) {
        const Event& event = mEvents[mCursor++];
        AURenderEvent record{};
        if (event.mMidi) {
            record.MIDI.eventSampleTime = event.mTime;
            record.MIDI.eventType = AURenderEventMIDI;
            record.MIDI.length = 3;
            record.MIDI.data[0] = event.mData[0];
            record.MIDI.data[1] = event.mData[1];
            record.MIDI.data[2] = event.mData[2];
        } else {
            record.parameter.eventSampleTime = event.mTime;
            record.parameter.eventType = AURenderEventParameter;
            record.parameter.parameterAddress = event.mAddress;
            record.parameter.value = event.mValue;
        }
        storage.push_back(record);
    }
    for (std::size_t i = 0; i < storage.size(); ++i) {
        storage[i].head.next = i + 1 < storage.size() ? &storage[i + 1] : nullptr;
    }
    return storage.empty() ? nullptr : storage.data();
}

} // namespace qircli
