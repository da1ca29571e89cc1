#pragma once
// What the frames of a sequence repeat: an array equal to the same array of an earlier frame, or
// a whole frame equal to an earlier one, found by a hash of the words and confirmed by comparing
// them, so that the serialized form stores it once.
#include "serialize/record_coding.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace vmq {

struct FrameRepeats {
    uint32_t frameDistance = 0;           // back to an earlier frame equal in every field and array; 0: none
    std::vector<uint32_t> arrayDistances; // per array, back to the latest earlier frame with the same words; 0: none
};

class RepeatedArrays {
public:
    // The repeats of frames[frame] among frames[0 .. frame - 1] (null entries have no geometry);
    // then remembers frames[frame]'s arrays for the frames after it.
    FrameRepeats find(const std::vector<const CompressedMesh*>& frames, uint32_t frame);

private:
    std::unordered_map<uint64_t, uint32_t> latestArray_; // (array number, words) hash -> latest frame
    std::unordered_map<uint64_t, uint32_t> latestFrame_; // whole-frame hash -> latest frame
};

} // namespace vmq
