// Internal header: included by the two bit-allocation loops (the design's
// and the tuned one).
#pragma once

#include <cstdint>
#include <cstring>

#include "layer2/coding_params.h"

namespace zuvo {

// The greedy loop asks for the open pair with the lowest mnr after every
// raise, and a raise changes one pair (both channels' above the bound). A
// tournament tree over the 64 pairs answers with the same choice as a full
// scan (lowest mnr, ties to the lower channel, then the lower subband) while
// each change costs six comparisons instead of a new scan.
//
// Each key is the mnr as an integer of the same order, with the pair's
// channel-major number below it, so that no two keys are equal and the
// lowest key is the scan's choice wherever the pairs sit in the tree. That
// lets the two channels of a subband be neighbours, so that a raise of a
// joint subband changes both in one walk up. Every node holds the lowest key
// below it; a change walks up from the pair with the winning key in a
// register, reading only the siblings, and every match is a branch-free
// select: which pair wins follows the signal, and a branch on it would be
// mispredicted half the time. Pairs outside the frame and closed pairs hold
// the key of an mnr above every real one.
class LowestMnrTree {
public:
    static constexpr int kLeaves = 64;

    // The pairs with their keys, [channel][subband].
    explicit LowestMnrTree(const std::uint64_t (*keys)[32]) {
        for (int c = 0; c < 2; ++c) {
            for (int s = 0; s < kSubbands; ++s) key_[kLeaves + leaf(c, s)] = keys[c][s];
        }
        for (int node = kLeaves - 1; node >= 1; --node) {
            const std::uint64_t left = key_[2 * node];
            const std::uint64_t right = key_[2 * node + 1];
            key_[node] = right < left ? right : left;
        }
    }

    // The lowest key of all pairs.
    std::uint64_t lowest() const { return key_[1]; }
    std::uint64_t key(int channel, int subband) const { return key_[kLeaves + leaf(channel, subband)]; }

    // Both channels' pairs of a subband take new keys (one of them may be
    // its old one); returns the new lowest key. The walk up holds the
    // winning key in a register and reads only the siblings, each match a
    // select; the fixed number of levels lets the loop unroll.
    std::uint64_t replace(int subband, std::uint64_t key0, std::uint64_t key1) {
        int node = kLeaves + leaf(0, subband);
        key_[node] = key0;
        key_[node + 1] = key1;
        std::uint64_t key = key1 < key0 ? key1 : key0;
        node /= 2;
        key_[node] = key;
        for (int level = 0; level < kLevelsAbovePairs; ++level, node /= 2) {
            const std::uint64_t sibling = key_[node ^ 1];
            key = sibling < key ? sibling : key;
            key_[node / 2] = key;
        }
        return key;
    }

    // The pair a key names.
    static int channel_of(std::uint64_t key) { return static_cast<int>(key & 63u) / kSubbands; }
    static int subband_of(std::uint64_t key) { return static_cast<int>(key & 63u) % kSubbands; }

    // A float's bits read as a signed integer order the non-negative floats;
    // the negative ones come out mirrored and are flipped back; the sign bit
    // flipped makes the order unsigned. The mnr is never a NaN (the greedy
    // loop reads a NaN ratio as one that no raise can serve). (No mnr is -0,
    // which would come out below +0.)
    static std::uint64_t key_of(float mnr, int channel, int subband) {
        std::int32_t bits;
        std::memcpy(&bits, &mnr, sizeof bits);
        const std::uint32_t order = static_cast<std::uint32_t>(bits >= 0 ? bits : bits ^ 0x7FFFFFFF) ^ 0x80000000u;
        return (static_cast<std::uint64_t>(order) << 32) | static_cast<std::uint32_t>(channel * kSubbands + subband);
    }
    static std::uint64_t closed_key(int channel, int subband) { return key_of(kClosedMnr, channel, subband); }

    static constexpr float kClosedMnr = 3.0e38f;

private:
    static int leaf(int channel, int subband) { return 2 * subband + channel; }

    static constexpr int kLevelsAbovePairs = 5;  // from the parents of the pairs (32..63) to the root
    std::uint64_t key_[2 * kLeaves];  // node 1 the root, nodes 64..127 the pairs
};

}  // namespace zuvo
