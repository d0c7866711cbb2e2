// tavi-release: update keys and signatures for Vuzev Tavi releases.

#include "ReleaseSigning.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>

using namespace ReleaseSigning;

namespace {

const char usage[] = R"(usage:
  tavi-release generate-keys <private-key-file>
      Makes a key pair. The private key goes to a new file (mode 0600) and is
      never printed; the public key is printed for SUPublicEDKey.
  tavi-release public-key <private-key-file>
  tavi-release sign-archive <private-key-file> <archive>
      Prints the archive's length and base64 Ed25519 signature.
  tavi-release item <private-key-file> <archive> --url URL --version BUILD
        [--short-version VERSION] [--title TEXT] [--notes-file FILE.html]
        [--notes-link URL] [--minimum-system-version VERSION] [--critical]
      Signs the archive and prints its feed <item>.
  tavi-release feed [--title TEXT] <item-file>...
      Prints a feed holding the given items.
  tavi-release sign-feed <private-key-file> <feed.xml>
      Writes <feed.xml>.sig, the detached signature the updater checks first.
)";

void print(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw ReleaseError("cannot read " + path.toStdString());
    return file.readAll();
}

int run(QStringList args)
{
    if (args.isEmpty())
        throw ReleaseError(usage);
    const QString command = args.takeFirst();
    auto option = [&args](const QString &name) {
        const qsizetype at = args.indexOf(name);
        if (at < 0)
            return QString();
        if (at + 1 >= args.size())
            throw ReleaseError(name.toStdString() + " needs a value");
        const QString value = args.at(at + 1);
        args.remove(at, 2);
        return value;
    };
    auto flag = [&args](const QString &name) { return args.removeAll(name) > 0; };

    if (command == u"generate-keys" && args.size() == 1) {
        const KeyPair pair = generateKeyPair();
        writeSecretKey(args.at(0), pair.secretKey);
        print(QStringLiteral("Private key written to %1 (keep it secret).\nSUPublicEDKey: %2\n")
                  .arg(args.at(0), QString::fromLatin1(pair.publicKey.toBase64())));
        return 0;
    }
    if (command == u"public-key" && args.size() == 1) {
        print(QString::fromLatin1(publicKeyOf(readSecretKey(args.at(0))).toBase64())
            + QLatin1Char('\n'));
        return 0;
    }
    if (command == u"sign-archive" && args.size() == 2) {
        const QByteArray signature = signFile(args.at(1), readSecretKey(args.at(0)));
        print(QStringLiteral("length: %1\nedSignature: %2\n")
                  .arg(QFileInfo(args.at(1)).size())
                  .arg(QString::fromLatin1(signature.toBase64())));
        return 0;
    }
    if (command == u"item") {
        FeedItem item;
        item.url = option(QStringLiteral("--url"));
        item.version = option(QStringLiteral("--version"));
        item.shortVersion = option(QStringLiteral("--short-version"));
        item.title = option(QStringLiteral("--title"));
        const QString notesFile = option(QStringLiteral("--notes-file"));
        item.releaseNotesLink = option(QStringLiteral("--notes-link"));
        item.minimumSystemVersion = option(QStringLiteral("--minimum-system-version"));
        item.critical = flag(QStringLiteral("--critical"));
        if (args.size() != 2 || item.url.isEmpty() || item.version.isEmpty())
            throw ReleaseError(usage);
        if (!notesFile.isEmpty())
            item.releaseNotes = QString::fromUtf8(readAll(notesFile));
        if (item.title.isEmpty())
            item.title = QStringLiteral("Vuzev Tavi ")
                + (item.shortVersion.isEmpty() ? item.version : item.shortVersion);
        item.length = QFileInfo(args.at(1)).size();
        item.edSignature = signFile(args.at(1), readSecretKey(args.at(0))).toBase64();
        print(feedItem(item));
        return 0;
    }
    if (command == u"feed") {
        QString title = option(QStringLiteral("--title"));
        if (title.isEmpty())
            title = QStringLiteral("Vuzev Tavi");
        QStringList items;
        for (const QString &path : std::as_const(args))
            items.append(QString::fromUtf8(readAll(path)));
        print(feed(title, items));
        return 0;
    }
    if (command == u"sign-feed" && args.size() == 2) {
        print(QStringLiteral("Wrote %1\n").arg(signFeed(args.at(1), readSecretKey(args.at(0)))));
        return 0;
    }
    throw ReleaseError(usage);
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    try {
        return run(args);
    } catch (const ReleaseError &error) {
        std::fprintf(stderr, "tavi-release: %s\n", error.what());
        return 2;
    }
}
