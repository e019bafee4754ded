// Seeded, order-free randomness for the data generator. Every decision is a
// pure function of the seed and the names of what is decided (a file's plan
// index, a key, a purpose tag), so a file's content does not depend on the
// order in which files are written and two runs with one seed agree bit for
// bit. Integer arithmetic only: no floating-point library call may make two
// machines disagree.
#pragma once

#include <cstdint>

namespace HOST::GEN {

// The finaliser of SplitMix64: a bijective, well-mixed 64-bit hash.
inline uint64_t Mix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

inline uint64_t Hash(uint64_t seed, uint64_t a, uint64_t b = 0, uint64_t c = 0) {
    return Mix64(seed ^ Mix64(a ^ Mix64(b ^ Mix64(c))));
}

// A value in [0, n) from a hash; 0 when n is 0.
inline uint32_t Below(uint64_t hash, uint32_t n) {
    return n == 0 ? 0 : static_cast<uint32_t>((hash >> 16) % n);
}

// True with probability `percent` / 100.
inline bool Percent(uint64_t hash, uint32_t percent) {
    return Below(hash, 100) < percent;
}

// A size between `lo` and `hi` (both powers of two, lo < hi), spread evenly
// over the octaves between them, so small and large values are both common.
inline uint32_t OctaveSize(uint64_t hash, uint32_t lo, uint32_t hi) {
    uint32_t octaves = 0;
    while ((lo << octaves) < hi)
        ++octaves;
    const uint32_t base = lo << Below(hash, octaves == 0 ? 1 : octaves);
    return base + static_cast<uint32_t>(Mix64(hash) % base);
}

// A stream of pseudo-random words (SplitMix64) for filling contents.
class Stream {
public:
    explicit Stream(uint64_t seed) : mull_State(seed) {}
    uint64_t Next() {
        mull_State += 0x9E3779B97F4A7C15ull;
        uint64_t z = mull_State;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

private:
    uint64_t mull_State;
};

}  // namespace HOST::GEN
