// Hash.cpp - the piecewise 64-bit hash: little-endian words, each mixed
// into the value with a multiply and a rotation; the length and the last
// partial word at the end, then a final avalanche, so that every input bit
// reaches every output bit.
#include "support/Hash.h"

constexpr uint64_t PRIME_1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t PRIME_2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t PRIME_3 = 0x165667B19E3779F9ull;

static uint64_t Round(uint64_t value, uint64_t word)
{
    value ^= word * PRIME_2;
    value = (value << 31) | (value >> 33);
    return value * PRIME_1;
}

void HashBegin(HashState* state)
{
    state->value = PRIME_3;
    state->carry = 0;
    state->carried = 0;
    state->length = 0;
}

void HashAdd(HashState* state, const void* bytes, size_t count)
{
    const unsigned char* at = (const unsigned char*)bytes;
    state->length += count;
    while (count > 0 && state->carried != 0) {
        state->carry |= (uint64_t)*at++ << (8 * state->carried);
        count--;
        if (++state->carried == 8) {
            state->value = Round(state->value, state->carry);
            state->carry = 0;
            state->carried = 0;
        }
    }
    for (; count >= 8; count -= 8, at += 8) {
        uint64_t word = 0;
        for (int i = 7; i >= 0; i--) {
            word = (word << 8) | at[i];
        }
        state->value = Round(state->value, word);
    }
    for (; count > 0; count--) {
        state->carry |= (uint64_t)*at++ << (8 * state->carried++);
    }
}

uint64_t HashEnd(const HashState* state)
{
    // The partial word is closed by a one bit, so "a" and "a\0" differ.
    uint64_t value = Round(state->value, state->carry | ((uint64_t)1 << (8 * state->carried)));
    value = Round(value, state->length);
    value ^= value >> 33;
    value *= PRIME_2;
    value ^= value >> 29;
    value *= PRIME_3;
    value ^= value >> 32;
    return value;
}

uint64_t HashBytes(const void* bytes, size_t count)
{
    HashState state;
    HashBegin(&state);
    HashAdd(&state, bytes, count);
    return HashEnd(&state);
}
