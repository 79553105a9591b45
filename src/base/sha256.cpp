#include "sha256.h"

#include <QtEndian>

#include <atomic>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#  define TARVINO_SHA_X86 1
#  include <cpuid.h>
#  include <immintrin.h>
#endif

namespace Tarvino {

namespace {

alignas(16) constexpr std::uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t rotr(std::uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void compressPortable(std::uint32_t state[8], const unsigned char *blocks, qint64 count)
{
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = qFromBigEndian<std::uint32_t>(blocks + 4 * i);
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
            const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if TARVINO_SHA_X86
bool cpuHasSha()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSSE3) || !(c & bit_SSE4_1))
        return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29));
}

// The 64 rounds four at a time, the message schedule running three groups ahead.
__attribute__((target("sha,sse4.1,ssse3"))) void compressSha(std::uint32_t state[8], const unsigned char *blocks,
                                                             qint64 count)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state)), 0xB1); // CDAB
    __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4)), 0x1B); // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);    // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);         // CDGH
    for (; count > 0; --count, blocks += 64) {
        const __m128i abefBefore = state0;
        const __m128i cdghBefore = state1;
        __m128i msg[4];
        for (int i = 0; i < 4; ++i)
            msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(blocks + 16 * i)), byteSwap);
        for (int g = 0; g < 16; ++g) {
            __m128i m = _mm_add_epi32(msg[g % 4], _mm_load_si128(reinterpret_cast<const __m128i *>(K + 4 * g)));
            state1 = _mm_sha256rnds2_epu32(state1, state0, m);
            if (g >= 3 && g <= 14) {
                __m128i &next = msg[(g + 1) % 4];
                next = _mm_add_epi32(next, _mm_alignr_epi8(msg[g % 4], msg[(g + 3) % 4], 4));
                next = _mm_sha256msg2_epu32(next, msg[g % 4]);
            }
            m = _mm_shuffle_epi32(m, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, m);
            if (g >= 1 && g <= 12)
                msg[(g + 3) % 4] = _mm_sha256msg1_epu32(msg[(g + 3) % 4], msg[g % 4]);
        }
        state0 = _mm_add_epi32(state0, abefBefore);
        state1 = _mm_add_epi32(state1, cdghBefore);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);         // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);      // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);   // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);      // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), state1);
}

const bool HasSha = cpuHasSha();
#else
constexpr bool HasSha = false;
#endif

std::atomic<bool> hardwareAllowed{true};

} // namespace

bool Sha256::hardwareUsed()
{
    return HasSha && hardwareAllowed.load(std::memory_order_relaxed);
}

void Sha256::setHardwareAllowed(bool allowed)
{
    hardwareAllowed = allowed;
}

void Sha256::compress(const unsigned char *blocks, qint64 count)
{
#if TARVINO_SHA_X86
    if (hardwareUsed())
        return compressSha(m_state, blocks, count);
#endif
    compressPortable(m_state, blocks, count);
}

void Sha256::reset()
{
    static constexpr std::uint32_t Initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(m_state, Initial, sizeof m_state);
    m_used = 0;
    m_length = 0;
}

void Sha256::addData(const char *data, qint64 size)
{
    if (size <= 0)
        return;
    auto bytes = reinterpret_cast<const unsigned char *>(data);
    m_length += quint64(size);
    if (m_used > 0) {
        const qint64 take = qMin<qint64>(64 - m_used, size);
        std::memcpy(m_block + m_used, bytes, size_t(take));
        m_used += take;
        bytes += take;
        size -= take;
        if (m_used < 64)
            return;
        compress(m_block, 1);
        m_used = 0;
    }
    if (size >= 64) {
        compress(bytes, size / 64);
        bytes += size - size % 64;
        size %= 64;
    }
    std::memcpy(m_block, bytes, size_t(size));
    m_used = size;
}

QByteArray Sha256::result() const
{
    Sha256 end = *this;
    unsigned char tail[128] = {};
    std::memcpy(tail, m_block, size_t(m_used));
    tail[m_used] = 0x80;
    const qint64 blocks = m_used < 56 ? 1 : 2;
    qToBigEndian<quint64>(m_length * 8, tail + 64 * blocks - 8);
    end.compress(tail, blocks);
    QByteArray digest(32, Qt::Uninitialized);
    for (int i = 0; i < 8; ++i)
        qToBigEndian<std::uint32_t>(end.m_state[i], digest.data() + 4 * i);
    return digest;
}

} // namespace Tarvino
