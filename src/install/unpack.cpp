#include "unpack.h"

#include "fileops.h"
#include "sha256.h"

#include <QFile>

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_d_stableOutBuffer
#include <zstd.h>
#include <zstd_errors.h>

#include <memory>
#include <vector>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace Tarvino {

namespace {

constexpr qint64 ReadSize = 1024 * 1024;
// How much is decoded between two hand-backs of the mapped pages.
constexpr qint64 ReleaseEvery = 32 * 1024 * 1024;

struct FreeContext
{
    void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
};

// Pages of a mapping the decoder is done with, for now, go back to the page
// cache: a later read finds them there, a write was made to the file.
void handBack(uchar *data, qint64 size)
{
#ifdef Q_OS_LINUX
    if (data && size > 0)
        madvise(data, size_t(size), MADV_DONTNEED);
#else
    Q_UNUSED(data);
    Q_UNUSED(size);
#endif
}

} // namespace

int Unpack::windowLogFor(qint64 baseSize, qint64 size)
{
    int log = ZSTD_WINDOWLOG_LIMIT_DEFAULT;
    while (log < 31 && (qint64(1) << log) < baseSize + size)
        ++log;
    return log;
}

bool Unpack::fail(const QString &error)
{
    m_error = error;
    return false;
}

bool Unpack::run(const QString &packedPath, const QString &basePath, QFile &target, qint64 size)
{
    m_sha256.clear();
    const QString name = FileOps::nativePath(packedPath);
    QFile packed;
    if (const int error = FileOps::openPlainFile(packed, packedPath, QIODevice::ReadOnly))
        return fail(tr("Cannot read %1: %2").arg(name, FileOps::describe(error)));
    QFile base;
    uchar *baseData = nullptr;
    qint64 baseSize = 0;
    if (!basePath.isEmpty()) {
        // Opened by its name: Qt maps the files it opened itself on every system
        // (under Wine, not one opened from a descriptor), a running program too;
        // only read, and what it gives is checked, so a name that turns into a
        // link after the check leads nowhere.
        base.setFileName(basePath);
        if (!FileOps::isPlainFile(basePath) || !base.open(QIODevice::ReadOnly))
            return fail(tr("Cannot read %1: %2")
                            .arg(FileOps::nativePath(basePath),
                                 base.error() == QFileDevice::NoError ? tr("not a plain file of its own")
                                                                      : base.errorString()));
        baseSize = base.size();
        baseData = baseSize > 0 ? base.map(0, baseSize) : nullptr;
        if (baseSize > 0 && !baseData)
            return fail(tr("Cannot read %1: %2").arg(FileOps::nativePath(basePath), base.errorString()));
    }

    const std::unique_ptr<ZSTD_DCtx, FreeContext> context(ZSTD_createDCtx());
    if (!context)
        return fail(tr("Cannot decode %1: out of memory.").arg(name));
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, windowLogFor(baseSize, size));
    if (baseData)
        ZSTD_DCtx_refPrefix(context.get(), baseData, size_t(baseSize));

    if (!target.resize(size) || !target.seek(0))
        return fail(tr("Cannot write %1: %2").arg(FileOps::nativePath(target.fileName()), target.errorString()));
    // Written in place where it can be mapped; else through a buffer of the
    // decoder's own, as large as the frame's window.
    uchar *mapped = size > 0 ? target.map(0, size) : nullptr;
    if (mapped)
        ZSTD_DCtx_setParameter(context.get(), ZSTD_d_stableOutBuffer, 1);
    std::vector<char> chunk(ReadSize);
    std::vector<char> buffer(mapped ? 0 : ReadSize);
    ZSTD_outBuffer output{mapped ? static_cast<void *>(mapped) : buffer.data(), mapped ? size_t(size) : buffer.size(), 0};
    Sha256 hash;
    qint64 produced = 0;
    qint64 handedBack = 0;
    size_t pending = 1; // the decoder's hint: 0 once a frame has ended
    bool more = true;
    while (more) {
        const qint64 read = packed.read(chunk.data(), qint64(chunk.size()));
        if (read < 0)
            return fail(tr("Cannot read %1: %2").arg(name, packed.errorString()));
        more = read > 0;
        ZSTD_inBuffer input{chunk.data(), size_t(read), 0};
        // At the end of the input, whatever the decoder still holds comes out.
        bool flushing = !more && pending != 0;
        while (input.pos < input.size || flushing) {
            const size_t before = output.pos;
            pending = ZSTD_decompressStream(context.get(), &output, &input);
            // Written in place, the file cannot grow past its size.
            if (ZSTD_isError(pending) && ZSTD_getErrorCode(pending) == ZSTD_error_dstSize_tooSmall)
                return fail(tr("%1 gives more than the %2 bytes of the file.").arg(name).arg(size));
            if (ZSTD_isError(pending))
                return fail(tr("%1 cannot be decoded: %2").arg(name, QString::fromLatin1(ZSTD_getErrorName(pending))));
            const qint64 now = qint64(output.pos - before);
            if (produced + now > size)
                return fail(tr("%1 gives more than the %2 bytes of the file.").arg(name).arg(size));
            hash.addData(static_cast<const char *>(output.dst) + before, now);
            produced += now;
            if (!mapped) {
                if (target.write(buffer.data(), now) != now)
                    return fail(tr("Cannot write %1: %2").arg(FileOps::nativePath(target.fileName()), target.errorString()));
                output.pos = 0;
            } else if (produced - handedBack >= ReleaseEvery) {
                handBack(mapped, produced & ~qint64(0xFFFF));
                handBack(baseData, baseSize);
                handedBack = produced;
            }
            flushing = flushing && now > 0 && pending != 0;
        }
    }
    if (mapped)
        target.unmap(mapped);
    if (pending != 0)
        return fail(tr("%1 ends before its last frame does.").arg(name));
    if (produced != size)
        return fail(tr("%1 gives %2 bytes, not the %3 of the file.").arg(name).arg(produced).arg(size));
    m_sha256 = hash.result();
    return true;
}

} // namespace Tarvino
