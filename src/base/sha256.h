#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstdint>

namespace Tarvino {

// SHA-256, with the processor's SHA instructions where it has them (x86:
// several times any portable code, so that checking a build costs less than
// fetching it), else in portable code.
class Sha256
{
public:
    Sha256() { reset(); }

    void addData(const char *data, qint64 size);
    QByteArray result() const;
    void reset();

    // Whether the SHA instructions are used; tests turn them off to check the portable code too.
    static bool hardwareUsed();
    static void setHardwareAllowed(bool allowed);

private:
    void compress(const unsigned char *blocks, qint64 count);

    std::uint32_t m_state[8];
    unsigned char m_block[64];
    qint64 m_used = 0;   // bytes in m_block
    quint64 m_length = 0; // bytes added in all
};

} // namespace Tarvino
