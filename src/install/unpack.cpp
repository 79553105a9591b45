#include "unpack.h"

#include "fileops.h"
#include "sha256.h"

#include <QFile>

#include <cerrno>

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_d_stableOutBuffer
#include <zstd.h>
#include <zstd_errors.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#ifndef Q_OS_WIN
#include <fcntl.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace Tarvino {

namespace {

constexpr qint64 ReadSize = 1024 * 1024;
// How much is decoded between two hand-backs of the mapped pages.
constexpr qint64 ReleaseEvery = 32 * 1024 * 1024;
constexpr qint64 WriteBackEvery = 8 * 1024 * 1024;

// Hashes what the decoder wrote into the mapped file, on a thread of its own
// beside the decoding, up to what it is told is ready.
class HashBeside
{
public:
    explicit HashBeside(const uchar *data) : m_data(data), m_thread([this] { run(); }) {}
    ~HashBeside() { result(); }
    HashBeside(const HashBeside &) = delete;
    HashBeside &operator=(const HashBeside &) = delete;

    void ready(qint64 upTo)
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_ready = upTo;
        }
        m_wake.notify_one();
    }
    qint64 hashed() const { return m_hashed.load(); }
    // Once all is hashed.
    QByteArray result()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_one();
        if (m_thread.joinable())
            m_thread.join();
        return m_hash.result();
    }

private:
    void run()
    {
        constexpr qint64 Piece = 4 * 1024 * 1024;
        qint64 at = 0;
        for (;;) {
            qint64 upTo = 0;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [&] { return m_ready > at || m_done; });
                if (m_ready == at)
                    return;
                upTo = m_ready;
            }
            while (at < upTo) {
                const qint64 piece = qMin(Piece, upTo - at);
                m_hash.addData(reinterpret_cast<const char *>(m_data) + at, piece);
                at += piece;
                m_hashed = at;
            }
        }
    }

    const uchar *m_data;
    Sha256 m_hash;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    qint64 m_ready = 0;
    bool m_done = false;
    std::atomic<qint64> m_hashed{0};
    std::thread m_thread; // last: it starts once the rest is there
};

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

// Starts the write-back of a range of the file and returns at once, so that
// the flush at its end has little left to wait for.
void writeBack(QFile &file, qint64 from, qint64 to)
{
#ifdef Q_OS_LINUX
    if (to > from)
        ::sync_file_range(file.handle(), from, to - from, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(file);
    Q_UNUSED(from);
    Q_UNUSED(to);
#endif
}

} // namespace

// Takes the file's blocks before it is written through a mapping: a drive that
// fills up under a mapping would end the program (SIGBUS) instead of failing
// a write. *mappable says whether they could be taken this way (else the file
// is written as a stream); false with the reason when the drive has no room.
bool Unpack::takeRoom(QFile &target, qint64 size, bool *mappable)
{
    *mappable = false;
    if (const int error = FileOps::injected("write", target.fileName()))
        return fail(tr("Cannot write %1: %2").arg(FileOps::nativePath(target.fileName()), FileOps::describe(error)));
#if defined(Q_OS_WIN)
    Q_UNUSED(size);
    *mappable = true; // the file's new length was allocated when it was set
    return true;
#else
    const int error = ::posix_fallocate(target.handle(), 0, size);
    if (error == EOPNOTSUPP || error == EINVAL)
        return true;
    if (error != 0)
        return fail(tr("Cannot write %1: %2").arg(FileOps::nativePath(target.fileName()), FileOps::describe(error)));
    *mappable = true;
    return true;
#endif
}

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

    const QString targetName = FileOps::nativePath(target.fileName());
    if (!target.resize(size) || !target.seek(0))
        return fail(tr("Cannot write %1: %2").arg(targetName, target.errorString()));
    // Written in place where it can be mapped; else through a buffer of the
    // decoder's own, as large as the frame's window.
    bool mappable = false;
    if (size > 0 && !takeRoom(target, size, &mappable))
        return false;
    uchar *mapped = mappable ? target.map(0, size) : nullptr;
    if (mapped)
        ZSTD_DCtx_setParameter(context.get(), ZSTD_d_stableOutBuffer, 1);
    std::vector<char> chunk(ReadSize);
    std::vector<char> buffer(mapped ? 0 : ReadSize);
    ZSTD_outBuffer output{mapped ? static_cast<void *>(mapped) : buffer.data(), mapped ? size_t(size) : buffer.size(), 0};
    Sha256 hash;
    std::unique_ptr<HashBeside> hashBeside(mapped ? new HashBeside(mapped) : nullptr);
    qint64 produced = 0;
    qint64 handedBack = 0;
    qint64 writtenBack = 0;
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
            produced += now;
            if (!mapped) {
                hash.addData(buffer.data(), now);
                if (target.write(buffer.data(), now) != now)
                    return fail(tr("Cannot write %1: %2").arg(targetName, target.errorString()));
                output.pos = 0;
                continue;
            }
            hashBeside->ready(produced);
            if (produced - writtenBack >= WriteBackEvery) {
                writeBack(target, writtenBack, produced & ~qint64(0xFFFF));
                writtenBack = produced & ~qint64(0xFFFF);
            }
            // What is hashed and on its way to the disk can go; what the decoder reads again comes back.
            if (const qint64 done = qMin(hashBeside->hashed(), writtenBack); done - handedBack >= ReleaseEvery) {
                handBack(mapped, done);
                handBack(baseData, baseSize);
                handedBack = done;
            }
            flushing = flushing && now > 0 && pending != 0;
        }
    }
    const QByteArray sha256 = hashBeside ? hashBeside->result() : hash.result();
    if (mapped)
        target.unmap(mapped);
    if (pending != 0)
        return fail(tr("%1 ends before its last frame does.").arg(name));
    if (produced != size)
        return fail(tr("%1 gives %2 bytes, not the %3 of the file.").arg(name).arg(produced).arg(size));
    m_sha256 = sha256;
    return true;
}

} // namespace Tarvino
