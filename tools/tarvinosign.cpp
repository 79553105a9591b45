// The publisher's side of signed updates: makes a key pair and signs builds and
// listing pages.
//
//   TarvinoSign keygen SECRETFILE
//   TarvinoSign sign SECRETFILE FILE [--name NAME] [--output SIGFILE]
//   TarvinoSign verify PUBLICKEYS FILE SIGFILE [--name NAME]
//   TarvinoSign sign-listing SECRETFILE PAGE --folder FOLDER [--published TIME] [--output SIGFILE]
//   TarvinoSign verify-listing PUBLICKEYS PAGE SIGFILE --folder FOLDER

#include "signature.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QTimeZone>

using namespace Tarvino;

namespace {

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

int usage()
{
    err() << "usage:\n"
             "  TarvinoSign keygen SECRETFILE\n"
             "      writes a new secret key to SECRETFILE (readable by its owner only) and\n"
             "      prints the public key in the form TARVINO_UPDATE_PUBLIC_KEY takes\n"
             "  TarvinoSign sign SECRETFILE FILE [--name NAME] [--output SIGFILE]\n"
             "      prints (or writes to SIGFILE) the signature of FILE under its name, or NAME:\n"
             "      the name the file is published under, which the signature covers\n"
             "  TarvinoSign verify PUBLICKEYS FILE SIGFILE [--name NAME]\n"
             "      checks a signature; exits 0 when it holds for one of the public keys\n"
             "      (one, or several separated by commas)\n"
             "  TarvinoSign sign-listing SECRETFILE PAGE --folder FOLDER [--published TIME] [--output SIGFILE]\n"
             "      prints (or writes to SIGFILE) the signature file of a listing page served for\n"
             "      FOLDER (Windows/6.10.1), published at TIME (yyyy-MM-ddTHH:mm:ssZ, default now)\n"
             "  TarvinoSign verify-listing PUBLICKEYS PAGE SIGFILE --folder FOLDER\n"
             "      checks a listing page's signature file; exits 0 when it holds\n";
    return 2;
}

bool hashFile(const QString &path, SignatureStream &stream)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err() << "cannot read " << path << ": " << file.errorString() << '\n';
        return false;
    }
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    qint64 size;
    while ((size = file.read(buffer.data(), buffer.size())) > 0)
        stream.update(buffer.constData(), size);
    if (size < 0) {
        err() << "cannot read " << path << ": " << file.errorString() << '\n';
        return false;
    }
    return true;
}

QByteArray readLineFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeOutput(const QByteArray &text, const QString &output)
{
    if (output.isEmpty()) {
        QTextStream(stdout) << text;
        return true;
    }
    QFile out(output);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.flush()) {
        err() << "cannot write " << output << ": " << out.errorString() << '\n';
        return false;
    }
    return true;
}

QByteArray readSecretKey(const QString &secretPath)
{
    const QByteArray secretKey = fromBase64Line(readLineFile(secretPath), SecretKeySize);
    if (secretKey.isEmpty())
        err() << secretPath << " holds no secret key\n";
    return secretKey;
}

// Takes an option and its value out of the arguments.
QString takeOption(QStringList &args, const QString &option)
{
    const qsizetype at = args.indexOf(option);
    if (at < 0 || at + 1 >= args.size())
        return {};
    QString value = args.at(at + 1);
    args.remove(at, 2);
    return value;
}

int keygen(const QString &secretPath)
{
    QByteArray publicKey, secretKey;
    if (!generateKeyPair(&publicKey, &secretKey)) {
        err() << "cannot make a key pair\n";
        return 1;
    }
    QFile file(secretPath);
    // Created with owner-only permissions, and never over an existing key.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        err() << "cannot create " << secretPath << ": " << file.errorString() << '\n';
        return 1;
    }
    if (file.write(secretKey.toBase64() + '\n') < 0 || !file.flush()) {
        err() << "cannot write " << secretPath << ": " << file.errorString() << '\n';
        file.remove();
        return 1;
    }
    QTextStream(stdout) << publicKey.toBase64() << '\n';
    return 0;
}

int sign(const QString &secretPath, const QString &path, const QString &name, const QString &output)
{
    const QByteArray secretKey = readSecretKey(secretPath);
    if (secretKey.isEmpty())
        return 1;
    SignatureStream stream(name);
    if (!hashFile(path, stream))
        return 1;
    return writeOutput(stream.sign(secretKey).toBase64() + '\n', output) ? 0 : 1;
}

int verify(const QString &publicKeyText, const QString &path, const QString &signaturePath,
           const QString &name)
{
    const QList<QByteArray> publicKeys = publicKeysFromText(publicKeyText.toLatin1());
    const QByteArray signature = fromBase64Line(readLineFile(signaturePath), SignatureSize);
    if (publicKeys.isEmpty() || signature.isEmpty()) {
        err() << "malformed public key or signature\n";
        return 1;
    }
    SignatureStream stream(name);
    if (!hashFile(path, stream))
        return 1;
    if (!stream.verify(publicKeys, signature)) {
        err() << "the signature does not hold for " << name << '\n';
        return 1;
    }
    QTextStream(stdout) << "good signature for " << name << '\n';
    return 0;
}

int signListing(const QString &secretPath, const QString &pagePath, const QString &folder,
                const QString &publishedText, const QString &output)
{
    const QByteArray secretKey = readSecretKey(secretPath);
    if (secretKey.isEmpty())
        return 1;
    ListingSignature signature;
    signature.folder = folder;
    signature.published = publishedText.isEmpty()
        ? QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), QTimeZone::utc())
        : QDateTime::fromString(publishedText, Qt::ISODate).toUTC();
    if (!signature.published.isValid() || signature.published.time().msec() != 0) {
        err() << "the time of publishing must be yyyy-MM-ddTHH:mm:ssZ: " << publishedText << '\n';
        return 1;
    }
    SignatureStream stream(folder, signature.published);
    if (!hashFile(pagePath, stream))
        return 1;
    signature.signature = stream.sign(secretKey);
    const QByteArray text = signature.toText();
    // Read back as the updater will, so that no folder name the file cannot carry is signed.
    ListingSignature check;
    if (signature.signature.isEmpty() || !check.fromText(text) || check.folder != folder) {
        err() << "cannot sign a listing for the folder \"" << folder << "\"\n";
        return 1;
    }
    return writeOutput(text, output) ? 0 : 1;
}

int verifyListing(const QString &publicKeyText, const QString &pagePath, const QString &signaturePath,
                  const QString &folder)
{
    const QList<QByteArray> publicKeys = publicKeysFromText(publicKeyText.toLatin1());
    if (publicKeys.isEmpty()) {
        err() << "malformed public key\n";
        return 1;
    }
    QFile page(pagePath);
    if (!page.open(QIODevice::ReadOnly)) {
        err() << "cannot read " << pagePath << ": " << page.errorString() << '\n';
        return 1;
    }
    ListingVerifier verifier(publicKeys, folder);
    if (!verifier.verify(page.readAll(), readLineFile(signaturePath))) {
        err() << verifier.errorString() << '\n';
        return 1;
    }
    QTextStream(stdout) << "good signature for the listing of " << folder << ", published "
                        << verifier.published().toString(Qt::ISODate) << '\n';
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    if (!signaturesSupported()) {
        err() << "built without libsodium\n";
        return 1;
    }
    const QString nameOption = takeOption(args, QStringLiteral("--name"));
    const QString output = takeOption(args, QStringLiteral("--output"));
    const QString folder = takeOption(args, QStringLiteral("--folder"));
    const QString published = takeOption(args, QStringLiteral("--published"));
    const QString command = args.value(0);
    if (command == u"keygen" && args.size() == 2)
        return keygen(args[1]);
    // The name a signature covers: the file's own, unless it is published under another.
    const QString name = nameOption.isEmpty() ? QFileInfo(args.value(2)).fileName() : nameOption;
    if (command == u"sign" && args.size() == 3)
        return sign(args[1], args[2], name, output);
    if (command == u"verify" && args.size() == 4)
        return verify(args[1], args[2], args[3], name);
    if (command == u"sign-listing" && args.size() == 3 && !folder.isEmpty())
        return signListing(args[1], args[2], folder, published, output);
    if (command == u"verify-listing" && args.size() == 4 && !folder.isEmpty())
        return verifyListing(args[1], args[2], args[3], folder);
    return usage();
}
