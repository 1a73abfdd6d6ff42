// tools: binaural decoder sets of a listening room, built from virtual loudspeakers.
#pragma once

#include "tools/AnechoicDesigner.h"
#include "tools/DecoderSet.h"

#include <array>
#include <cstdint>
#include <vector>

namespace qirtools {

struct RoomParameters {
    // Shoebox room (x to the listener's front, y to the left, z up), metres.
    double lengthX = 6.4;
    double widthY = 5.2;
    double heightZ = 3.0;
    double listenerX = 2.9;
    double listenerY = 2.35;
    double listenerZ = 1.2;
    double speakerDistance = 2.0;
    // Reverberation time of the late tail per octave band, 125 Hz to 16 kHz; the image
    // sources use one wall reflection factor that gives the mid-band value.
    std::array<double, 8> reverberationTimes {0.34, 0.32, 0.30, 0.30, 0.29, 0.27, 0.24, 0.20};
    double midReverberationTime = 0.30;
    int numSpeakers = 144;
    // Image sources fade out and the diffuse tail fades in (power-complementary) between
    // these times after the direct sound; the tail's level is matched to the image sources'
    // energy just before the crossfade.
    double crossfadeStartSeconds = 0.045;
    double crossfadeEndSeconds = 0.080;
    double matchStartSeconds = 0.025;
    std::uint64_t seed = 0x51A7E5EEDULL;
};

// The direct sound of every virtual loudspeaker is the anechoic decoder of the same order
// (the loudspeaker decode of direct responses is what that fit does better at low orders);
// each loudspeaker adds its early reflections and its own diffuse tail, decoded with an
// energy-preserving mode-matching decoder so the reverberant level does not depend on the
// order.
class RoomDesigner {
public:
    RoomDesigner(const AnechoicDesigner& anechoic, const RoomParameters& parameters = {});

    // anechoicSet: the anechoic decoder set of the same order.
    DecoderSet design(int order, const DecoderSet& anechoicSet) const;

    const std::vector<float>& speakerDirectionsDeg() const { return mSpeakerDirectionsDeg; }
    // Reflections and tail of one loudspeaker (no direct sound), kDecoderSetResponseLength
    // samples per ear.
    const float* speakerResponse(int speaker, int ear) const
    {
        return mResponses.data() + (static_cast<size_t>(speaker) * 2 + static_cast<size_t>(ear)) * kDecoderSetResponseLength;
    }

private:
    void renderSpeaker(int speaker, const AnechoicDesigner& anechoic);

    RoomParameters mParameters;
    std::vector<float> mSpeakerDirectionsDeg;
    std::vector<float> mResponses;
};

} // namespace qirtools
