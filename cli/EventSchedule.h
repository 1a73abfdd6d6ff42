// cli: the --set automation and --note test-source events of a render, placed
// at their frames and handed to the render block as timestamped render events, a
// call's worth at a time.
#pragma once

#include "cli/RenderOptions.h"
#include "host/auv3/platform/AUParameterTree.h"
#include "host/auv3/platform/AURenderEvent.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qircli {

// The frame nearest to seconds at sampleRate.
[[nodiscard]] int64_t EventFrame(double seconds, double sampleRate) noexcept;

class EventSchedule {
public:
    // Resolves the requests against the plug-in's parameter tree and places them
    // on the input's timeline. Events must start before
    // renderFrames (the output's length); FuMa conventions need decodeOrder 1.
    // False with error set otherwise.
    [[nodiscard]] bool Build(const std::vector<AutomationRequest>& automation, const std::vector<NoteRequest>& notes,
                             AUParameterTree& tree, double sampleRate, int64_t renderFrames, int decodeOrder,
                             std::string& error);

    // Adds a parameter change at frame of the input's timeline, after Build and
    // before Place.
    void AddParameterChange(int64_t frame, AUParameterAddress address, AUValue value);

    // Converts input-timeline frames to render-stream times, offset frames later.
    void Place(int64_t offset);

    // The events stamped in [start, start + frames), linked in time order, or
    // null. The list lives in storage until the next call.
    [[nodiscard]] const AURenderEvent* Collect(int64_t start, int64_t frames, std::vector<AURenderEvent>& storage);

    [[nodiscard]] std::size_t size() const noexcept { return mEvents.size(); }

private:
    struct Event {
        int64_t mFrame = 0; // frame on the input's timeline
        int64_t mTime = 0;  // render-stream sample time
        bool mMidi = false;
        AUParameterAddress mAddress = 0;
        AUValue mValue = 0.0f;
        uint8_t mData[3] = {0, 0, 0};
    };

    std::vector<Event> mEvents;
    std::size_t mCursor = 0;
};

} // namespace qircli
