// The real tavi-pack program, run as a pipeline runs it, against the reference
// pack service and scripted model servers over loopback HTTP.

#include "Await.h"
#include "CapabilityPack.h"
#include "PackAPI.h"
#include "PackServiceProcess.h"
#include "ScriptedModelServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

struct Outcome
{
    int exit = -1;
    QString out;
    QString err;
};

QString toolPath()
{
    return qEnvironmentVariable("TAVI_PACK_BIN");
}

QProcessEnvironment toolEnvironment(const QUrl &base, const QStringList &extra)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"TAVI_OPERATOR_TOKEN", "NO_COLOR", "TAVI_MODEL_URL"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(u"TAVI_API_BASE"_s, base.toString());
    environment.insert(u"TAVI_MODEL"_s, u"off"_s);
    for (const QString &assignment : extra)
        environment.insert(assignment.section(u'=', 0, 0), assignment.section(u'=', 1));
    return environment;
}

// The event loop keeps running while the program does: the scripted servers
// answering it live in this process.
Outcome finish(QProcess &process)
{
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000)) {
        process.kill();
        process.waitForFinished();
    }
    Outcome outcome;
    outcome.exit = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    outcome.out = QString::fromUtf8(process.readAllStandardOutput());
    outcome.err = QString::fromUtf8(process.readAllStandardError());
    return outcome;
}

// onTerminal: under script(1), which gives the program a terminal.
Outcome tool(const QUrl &base, const QStringList &arguments, const QStringList &environment = {},
    bool onTerminal = false)
{
    QProcess process;
    process.setProcessEnvironment(toolEnvironment(base, environment));
    if (onTerminal) {
        process.start(u"script"_s,
            {u"-qec"_s, (QStringList {toolPath()} + arguments).join(u' '), u"/dev/null"_s});
        return finish(process);
    }
    process.start(toolPath(), arguments);
    process.closeWriteChannel();
    return finish(process);
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray casesJson(const QStringList &messages)
{
    return QJsonDocument(QJsonObject {{u"messages"_s, QJsonArray::fromStringList(messages)}})
        .toJson();
}

// The reference service asking a scripted model, which answers the same to everything.
struct ServiceWithModel
{
    ScriptedModelServer model;
    std::optional<PackServiceProcess> service;

    explicit ServiceWithModel(
        const QString &answer, bool modelThere = true, const QString &token = {})
    {
        model.setAnswer(answer);
        PackServiceProcess::Options options;
        options.token = token;
        if (modelThere) {
            options.modelUrl = model.baseUrl().toString();
            options.model = model.modelName();
        }
        service.emplace(options);
    }
    bool start() { return service->start(); }
    QUrl baseUrl() const { return service->baseUrl(); }
};

// The sentence the window shows for the same failure, from the same client.
template<typename T> QString windowSentence(QCoro::Task<T> task)
{
    return awaitError(std::move(task));
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(toolPath()).isExecutable());
        QVERIFY(m_dir.isValid());
        writeFile(path(u"seed.json"_s), readFile(PackServiceProcess::defaultSeedPath()));
        writeFile(path(u"not-a-set.json"_s), R"({"msgs": []})");
        PackAPI::setRequestTimeoutForTesting(20s);
    }

    // Usage mistakes, and a test set that is not one, end with status 2 and one
    // sentence, before anything is sent.
    void usage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("sentence");
        QTest::newRow("no command") << QStringList {} << u"tavi-pack needs a command"_s;
        QTest::newRow("unknown command") << QStringList {u"push"_s} << u"\"push\" is not"_s;
        QTest::newRow("a token as --token=")
            << QStringList {u"--token=secret"_s, u"pull"_s} << u"takes no token"_s;
        QTest::newRow("too many") << QStringList {u"rollback"_s, u"now"_s} << u"not \"now\""_s;
        QTest::newRow("too few") << QStringList {u"publish"_s} << u"needs the pack FILE"_s;
        QTest::newRow("preview without a message")
            << QStringList {u"preview"_s, u"pack.json"_s} << u"at least one MESSAGE"_s;
        QTest::newRow("eval without cases")
            << QStringList {u"eval"_s, u"pack.json"_s} << u"needs --cases"_s;
        const QString notASet = path(u"not-a-set.json"_s);
        QTest::newRow("eval with cases that are not a test set") << QStringList {u"eval"_s,
            path(u"seed.json"_s), u"--cases"_s, notASet} << notASet + u" cannot be read"_s;
        QTest::newRow("an option of another command")
            << QStringList {u"pull"_s, u"--force"_s} << u"does not know the option --force"_s;
        QTest::newRow("an option without its value")
            << QStringList {u"pull"_s, u"-o"_s} << u"-o needs a value"_s;
    }

    void usage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, sentence);
        const Outcome outcome = tool(QUrl(u"http://127.0.0.1:9"_s), arguments);
        QCOMPARE(outcome.exit, 2);
        QVERIFY2(outcome.err.contains(sentence), qPrintable(outcome.err));
        QCOMPARE(outcome.err.count(u'\n'), 1);
        QVERIFY(!outcome.err.contains(u"secret"_s));
        QVERIFY(outcome.out.isEmpty());
    }

    // Every command has its help, named in the overview, and bash offers it
    // exactly the options that help lists (bash-completion's own helpers stood
    // in for: they are not under test).
    void helpAndCompletion()
    {
        const QString script = uR"(
_init_completion() { words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD; cur=${words[cword]}; prev=${words[cword-1]}; }
_filedir() { COMPREPLY=(); }
source "$1"
COMP_WORDS=(tavi-pack "$2" -); COMP_CWORD=2
_tavi_pack
printf '%s\n' "${COMPREPLY[@]}"
)"_s;
        static const QRegularExpression option(u"(?<![\\w[-])--?[a-z][a-z-]*"_s);
        const Outcome overview = tool(QUrl(), {u"--help"_s});
        QCOMPARE(overview.exit, 0);
        for (const QString &command : {u"pull"_s, u"lint"_s, u"diff"_s, u"preview"_s, u"eval"_s,
                 u"publish"_s, u"rollback"_s, u"history"_s}) {
            QVERIFY2(overview.out.contains(u"  "_s + command + u' '), qPrintable(command));
            const Outcome help = tool(QUrl(), {command, u"--help"_s});
            QCOMPARE(help.exit, 0);
            QVERIFY2(help.out.startsWith(u"usage: tavi-pack "_s + command), qPrintable(help.out));
            QProcess bash;
            bash.start(u"bash"_s,
                {u"-c"_s, script, u"bash"_s, qEnvironmentVariable("TAVI_COMPLETION"), command});
            QVERIFY(bash.waitForFinished());
            QStringList offered
                = QString::fromUtf8(bash.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
            QVERIFY2(
                offered.removeAll(u"--help"_s) == 1 && offered.removeAll(u"--token-file"_s) == 1,
                qPrintable(command));
            QStringList listed;
            auto matches = option.globalMatch(help.out);
            while (matches.hasNext())
                listed << matches.next().captured();
            listed.removeDuplicates();
            listed.removeAll(u"--help"_s);
            offered.sort();
            listed.sort();
            QCOMPARE(offered, listed);
        }
    }

    // pull, lint, publish (and --force over a stale file), rollback and
    // history, one after another as an operator's pipeline would run them.
    void pullPublishRollbackHistory()
    {
        PackServiceProcess service;
        QVERIFY2(service.start(), qPrintable(service.output()));
        const QUrl base = service.baseUrl();

        const auto livePack = [&] { return awaitTask(PackAPI {base, {}}.current()); };
        const CapabilityPack live = livePack();
        QCOMPARE(tool(base, {u"pull"_s, u"-o"_s, path(u"a.json"_s)}).exit, 0);
        QCOMPARE(tool(base, {u"lint"_s, path(u"a.json"_s)}).out, QString());
        CapabilityPack edited = CapabilityPack::fromJson(readFile(path(u"a.json"_s)));
        QCOMPARE(edited.version, live.version);
        edited.modules.replyRules.cta = u"Tanya tanggalnya dulu."_s;
        writeFile(path(u"b.json"_s), edited.toJson());
        const Outcome published = tool(base, {u"publish"_s, path(u"b.json"_s)});
        QCOMPARE(published.exit, 0);
        const CapabilityPack now = livePack();
        QCOMPARE(published.out, now.version + u'\n');
        QCOMPARE(now.modules.replyRules.cta, edited.modules.replyRules.cta);

        // a.json was pulled before that publish: only --force puts it back.
        const Outcome forced = tool(base, {u"publish"_s, u"--force"_s, path(u"a.json"_s)});
        QCOMPARE(forced.exit, 0);
        QCOMPARE(livePack().modules.replyRules.cta, live.modules.replyRules.cta);

        const Outcome rolledBack = tool(base, {u"rollback"_s});
        QCOMPARE(rolledBack.exit, 0);
        QCOMPARE(rolledBack.out, now.version + u'\n');

        const Outcome history = tool(base, {u"history"_s});
        QCOMPARE(history.exit, 0);
        const QStringList lines = history.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 4); // the heading, the seed and two publishes
        QVERIFY2(lines.at(2).startsWith(u"* "_s + now.version), qPrintable(history.out));
        QVERIFY(lines.at(3).endsWith(u"(rolled back)"_s));
        QVERIFY(lines.at(1).contains(*live.provenance->author));
        const QJsonObject json
            = QJsonDocument::fromJson(tool(base, {u"history"_s, u"--json"_s}).out.toUtf8())
                  .object();
        QCOMPARE(json[u"live_version"_s].toString(), now.version);
        QCOMPARE(json[u"versions"_s][0][u"coach_instruction"_s].toString(),
            *live.provenance->coachInstruction);

        // Back at the seed there is nothing older: the service's own refusal.
        QCOMPARE(tool(base, {u"rollback"_s}).exit, 0);
        const Outcome oldest = tool(base, {u"rollback"_s});
        QCOMPARE(oldest.exit, 3);
        QCOMPARE(oldest.err, windowSentence(PackAPI {base, {}}.rollback()) + u'\n');
    }

    // pull writes the pack member of the answer byte for byte, and checks only
    // what it needs: JSON, UTF-8, a "pack" object with a string "version". Any
    // other answer is refused in the window's sentence, and nothing is written.
    void pullAnswers_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QByteArray>("pack"); // empty: refused
        const QByteArray written
            = "{ \"version\" : \"v9\",\n  \"voice\": \"caf\\u00e9 \\ud83d\\ude00 "
              "\\\"q\\\" \\/ \\n\",\n  \"n\": [-0.5e+3, 0, 12E-2, true, false, "
              "null, {}, [[]]] }";
        QTest::newRow("as the service wrote it")
            << "\xEF\xBB\xBF{\"live_version\":\"v9\",\r\n\t\"pack\": " + written + " }" << written;
        QTest::newRow("a pack only lint refuses")
            << QByteArray(R"({"pack":{"version":"v9","status":7}})")
            << QByteArray(R"({"version":"v9","status":7})");
        // The grammar is held against the strict reader's parse, over answers
        // damaged at random, in test_pack_answer. These rows are what pull does
        // with a refusal, and what random damage does not reach.
        QTest::newRow("cut short") << QByteArray(R"({"pack":{"version":"v9"})") << QByteArray();
        QTest::newRow("nested deeper than any reader goes")
            << R"({"pack":{"version":"v9","a":)" + QByteArray(1 << 20, '[') << QByteArray();
        QTest::newRow("a version that is a number")
            << QByteArray(R"({"pack":{"version":9}})") << QByteArray();
        QTest::newRow("a version deeper down")
            << QByteArray(R"({"pack":{"modules":{"version":"v9"}},"version":"v9"})")
            << QByteArray();
    }

    void pullAnswers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, pack);
        ScriptedHttpServer service;
        QVERIFY(service.listen());
        service.setHandler(
            [&](const ScriptedRequest &) { return ScriptedResponse::json(200, answer); });
        const QString kept = path(u"kept.json"_s);
        writeFile(kept, "the previous pull\n");
        const Outcome toStdout = tool(service.url(), {u"pull"_s});
        const Outcome toFile = tool(service.url(), {u"pull"_s, u"-o"_s, kept});
        if (!pack.isEmpty()) {
            QCOMPARE(toStdout.exit, 0);
            QCOMPARE(toStdout.out.toUtf8(), pack + '\n');
            QCOMPARE(toFile.exit, 0);
            QCOMPARE(readFile(kept), pack + '\n');
            return;
        }
        const QString sentence = windowSentence(PackAPI {service.url(), {}}.current()) + u'\n';
        for (const Outcome &refused : {toStdout, toFile}) {
            QCOMPARE(refused.exit, 3);
            QCOMPARE(refused.err, sentence);
            QVERIFY(refused.out.isEmpty());
        }
        QCOMPARE(readFile(kept), QByteArray("the previous pull\n"));
    }

    // A service that takes any publish is still not handed a stale file.
    void staleRefusalWithoutTheServicesHelp()
    {
        ScriptedHttpServer service;
        QVERIFY(service.listen());
        CapabilityPack live
            = CapabilityPack::fromJson(readFile(PackServiceProcess::defaultSeedPath()));
        live.version = u"v7"_s;
        service.setHandler([&](const ScriptedRequest &request) {
            if (request.target.endsWith("/history"))
                return ScriptedResponse::json(404, R"({"error":"No such endpoint"})");
            return ScriptedResponse::json(200, "{\"pack\":" + live.toJson() + "}");
        });
        CapabilityPack older = live;
        older.version = u"v6"_s;
        writeFile(path(u"older.json"_s), older.toJson());
        const Outcome stale = tool(service.url(), {u"publish"_s, path(u"older.json"_s)});
        QCOMPARE(stale.exit, 1);
        QVERIFY2(stale.err.contains(
                     path(u"older.json"_s) + u" was made from version v6, but v7 is live now"_s),
            qPrintable(stale.err));
        for (const ScriptedRequest &request : service.requests())
            QCOMPARE(request.method, QByteArray("GET"));

        const Outcome history = tool(service.url(), {u"history"_s});
        QCOMPARE(history.exit, 3);
        QVERIFY2(history.err.contains(u"keeps no history"_s) && history.err.contains(u"404"_s),
            qPrintable(history.err));
    }

    // Pack files that cannot be a pack: lint lists them (status 1); a command
    // that needs the pack stops with status 2 before it sends anything.
    void badPackFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("sentence");
        QTest::newRow("missing") << u"missing.json"_s << u"there is no such file"_s;
        QTest::newRow("a directory") << u"folder"_s << u"it is a directory"_s;
        QTest::newRow("empty") << u"empty.json"_s << u"the file is empty"_s;
        QTest::newRow("not UTF-8") << u"latin1.json"_s << u"not valid UTF-8"_s;
        QTest::newRow("not a pack")
            << u"partial.json"_s << u": modules.persona.languages: is missing"_s;
    }

    void badPackFiles()
    {
        QFETCH(QString, name);
        QFETCH(QString, sentence);
        QDir(m_dir.path()).mkpath(u"folder"_s);
        writeFile(path(u"empty.json"_s), {});
        CapabilityPack pack
            = CapabilityPack::fromJson(readFile(PackServiceProcess::defaultSeedPath()));
        pack.modules.persona.voice = u"Ramah, café"_s;
        writeFile(path(u"latin1.json"_s), pack.toJson().replace("caf\xc3\xa9", "caf\xe9"));
        QByteArray partial = pack.toJson();
        partial.replace("\"languages\":", "\"langs\":");
        writeFile(path(u"partial.json"_s), partial);

        ScriptedHttpServer service;
        QVERIFY(service.listen());
        const Outcome lint = tool(service.url(), {u"lint"_s, path(name)});
        QCOMPARE(lint.exit, 1);
        QVERIFY2(lint.out.contains(path(name) + u':') && lint.out.contains(sentence),
            qPrintable(lint.out));
        for (const QString &command : {u"publish"_s, u"diff"_s}) {
            const Outcome refused = tool(service.url(), {command, path(name)});
            QCOMPARE(refused.exit, 2);
            QCOMPARE(refused.err, lint.out);
        }
        QCOMPARE(service.requestCount(), 0);
    }

    // The token goes only where the request goes: never into the output, and a
    // file holding it must be the owner's alone.
    void token_data()
    {
        QTest::addColumn<QString>("fileMode");
        QTest::addColumn<bool>("fromEnvironment");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("sentence");
        QTest::newRow("file 0600") << u"600"_s << false << 0 << QString();
        QTest::newRow("file 0400") << u"400"_s << false << 0 << QString();
        QTest::newRow("file 0640")
            << u"640"_s << false << 2 << u"readable by other users (mode 0640)"_s;
        QTest::newRow("file 0604")
            << u"604"_s << false << 2 << u"readable by other users (mode 0604)"_s;
        QTest::newRow("environment") << QString() << true << 0 << QString();
        QTest::newRow("none") << QString() << false << 3 << u"API 401: unauthorized"_s;
    }

    void token()
    {
        QFETCH(QString, fileMode);
        QFETCH(bool, fromEnvironment);
        QFETCH(int, exit);
        QFETCH(QString, sentence);
        const QString secret = u"tok-3f9a-operator"_s;
        PackServiceProcess::Options options;
        options.token = secret;
        PackServiceProcess service(options);
        QVERIFY2(service.start(), qPrintable(service.output()));
        QStringList arguments;
        QStringList environment;
        if (!fileMode.isEmpty()) {
            const QString tokenFile = path(u"token-"_s + fileMode);
            writeFile(tokenFile, secret.toUtf8() + '\n');
            QVERIFY(QProcess::execute(u"chmod"_s, {fileMode, tokenFile}) == 0);
            arguments << u"--token-file"_s << tokenFile;
        }
        if (fromEnvironment)
            environment << u"TAVI_OPERATOR_TOKEN="_s + secret;
        for (const QString &command : {u"pull"_s, u"history"_s}) {
            const Outcome outcome
                = tool(service.baseUrl(), arguments + QStringList {command}, environment);
            QCOMPARE(outcome.exit, exit);
            QVERIFY2(outcome.err.contains(sentence), qPrintable(outcome.err));
            QVERIFY(!outcome.out.contains(secret) && !outcome.err.contains(secret));
        }
    }

    // Nothing listens at the address: every command that needs the service says
    // so in the window's own sentence and ends with status 3.
    void serviceDown()
    {
        QUrl base;
        {
            ScriptedHttpServer closed;
            QVERIFY(closed.listen());
            base = closed.url();
        }
        const QString sentence = windowSentence(PackAPI {base, {}}.current()) + u'\n';
        QVERIFY(sentence.contains(u"refused"_s));
        const QList<QStringList> commands {{u"pull"_s}, {u"rollback"_s}, {u"history"_s},
            {u"publish"_s, path(u"seed.json"_s)}, {u"diff"_s, path(u"seed.json"_s)},
            {u"preview"_s, u"--live"_s, u"Halo"_s}};
        for (const QStringList &command : commands) {
            const Outcome outcome = tool(base, command);
            QCOMPARE(outcome.exit, 3);
            QCOMPARE(outcome.err, sentence);
        }
    }

    // Local model first, the service's model when there is none, as in the window.
    void preview()
    {
        ServiceWithModel service(u"Halo! Mau ke mana?"_s);
        QVERIFY(service.start());
        ScriptedModelServer &model = service.model;

        const Outcome remote
            = tool(service.baseUrl(), {u"preview"_s, path(u"seed.json"_s), u"Halo"_s, u"Hi"_s});
        QCOMPARE(remote.exit, 0);
        QCOMPARE(remote.out.count(u"Tavi (via mlx): Halo! Mau ke mana?\n"_s), 2);
        const QStringList local {u"TAVI_MODEL_URL="_s + model.baseUrl().toString(),
            u"TAVI_MODEL="_s + model.modelName()};
        const Outcome json
            = tool(service.baseUrl(), {u"preview"_s, u"--live"_s, u"--json"_s, u"Halo"_s}, local);
        QCOMPARE(json.exit, 0);
        const QJsonObject row = QJsonDocument::fromJson(json.out.toUtf8()).array().at(0).toObject();
        QCOMPARE(row[u"source"_s].toString(), u"apple-foundation"_s);
        QCOMPARE(row[u"reply"_s].toString(), u"Halo! Mau ke mana?"_s);

        model.setChatResponse(
            ScriptedResponse::json(500, R"({"error":{"message":"out of memory"}})"));
        const Outcome failed
            = tool(service.baseUrl(), {u"preview"_s, u"--live"_s, u"Halo"_s}, local);
        QCOMPARE(failed.exit, 3);
        QVERIFY2(failed.err.contains(u"out of memory"_s), qPrintable(failed.err));
    }

    void diff()
    {
        PackServiceProcess service;
        QVERIFY2(service.start(), qPrintable(service.output()));
        const QUrl base = service.baseUrl();
        QCOMPARE(tool(base, {u"pull"_s, u"-o"_s, path(u"live.json"_s)}).exit, 0);
        CapabilityPack pack = CapabilityPack::fromJson(readFile(path(u"live.json"_s)));
        // The same text in another normalisation form is no change.
        pack.modules.persona.name
            = pack.modules.persona.name.normalized(QString::NormalizationForm_D);
        writeFile(path(u"same.json"_s), pack.toJson());
        pack.modules.guardrails.confirmCopy = u"Yakin mau pesan sekarang?"_s;
        writeFile(path(u"changed.json"_s), pack.toJson());

        QCOMPARE(tool(base, {u"diff"_s, path(u"same.json"_s)}).exit, 0);
        const Outcome plain = tool(base, {u"diff"_s, path(u"changed.json"_s)});
        QCOMPARE(plain.exit, 1);
        QVERIFY2(!plain.out.contains(u'\x1b'), qPrintable(plain.out)); // not a terminal
        // On a terminal the marks get colours, unless NO_COLOR says otherwise.
        for (const bool noColor : {false, true}) {
            const Outcome shown = tool(base, {u"diff"_s, path(u"changed.json"_s)},
                noColor ? QStringList {u"NO_COLOR=1"_s} : QStringList {}, true);
            QCOMPARE(shown.exit, 1);
            QCOMPARE(shown.out.contains(u'\x1b'), !noColor);
        }
        const Outcome json
            = tool(base, {u"diff"_s, u"--json"_s, path(u"live.json"_s), path(u"changed.json"_s)});
        QCOMPARE(json.exit, 1);
        const QJsonArray changes = QJsonDocument::fromJson(json.out.toUtf8()).array();
        QCOMPARE(changes.size(), 1);
        QCOMPARE(changes.at(0)[u"path"_s].toString(), u"modules.guardrails.confirm_copy"_s);
    }

    // Draft against live over a test set; the status follows the checks. Every
    // reply names an item both packs deny, so live fails its checks too.
    void eval_data()
    {
        QTest::addColumn<qint64>("draftLimit");
        QTest::addColumn<bool>("strict");
        QTest::addColumn<bool>("modelThere");
        QTest::addColumn<int>("exit");
        QTest::newRow("the draft fails no more than live") << qint64(120) << false << true << 0;
        QTest::newRow("the draft breaks the limit, live does not")
            << qint64(3) << false << true << 1;
        QTest::newRow("strict, the draft fails no more than live")
            << qint64(120) << true << true << 1;
        QTest::newRow("no model to answer") << qint64(120) << false << false << 3;
    }

    void eval()
    {
        QFETCH(qint64, draftLimit);
        QFETCH(bool, strict);
        QFETCH(bool, modelThere);
        QFETCH(int, exit);
        ServiceWithModel service(
            u"Halo! Janji harga yang tidak ada di data tidak bisa saya beri."_s, modelThere);
        QVERIFY(service.start());
        CapabilityPack draft = awaitTask(PackAPI {service.baseUrl(), {}}.current());
        draft.modules.replyRules.maxWords = draftLimit;
        writeFile(path(u"draft.json"_s), draft.toJson());
        writeFile(path(u"cases.json"_s), casesJson({u"Halo"_s, u"Ada hotel di Ubud?"_s}));
        QStringList arguments {
            u"eval"_s, path(u"draft.json"_s), u"--cases"_s, path(u"cases.json"_s), u"--json"_s};
        if (strict)
            arguments << u"--strict"_s;
        const Outcome outcome = tool(service.baseUrl(), arguments);
        QCOMPARE(outcome.exit, exit);
        QCOMPARE(outcome.err.isEmpty(), exit != 3); // no progress off a terminal
        if (strict) // on one, a progress line counts the replies
            QVERIFY2(tool(service.baseUrl(), arguments, {}, true).out.contains(u"\r4 of 4"_s),
                "no progress line");
        const QJsonObject report = QJsonDocument::fromJson(outcome.out.toUtf8()).object();
        QCOMPARE(report[u"rows"_s].toArray().size(), 2);
        QCOMPARE(report[u"draft"_s][u"over_word_limit"_s].toInt(), draftLimit < 10 ? 2 : 0);
        QCOMPARE(report[u"live"_s][u"over_word_limit"_s].toInt(), 0);
        QCOMPARE(report[u"live"_s][u"denied_item"_s].toInt(), modelThere ? 2 : 0);
        QCOMPARE(report[u"draft"_s][u"errors"_s].toInt(), modelThere ? 0 : 2);
        QVERIFY(report[u"complete"_s].toBool());
    }

    // Ctrl-C in the middle of a run: the finished rows are printed, the status is
    // 130, and the process is gone at once, its requests with it.
    void interruptedEval()
    {
        ServiceWithModel service(u"Halo!"_s);
        QVERIFY(service.start());
        ScriptedModelServer &model = service.model;
        QStringList messages;
        for (int i = 0; i < 40; ++i)
            messages << u"Pesan %1"_s.arg(i);
        writeFile(path(u"many.json"_s), casesJson(messages));
        model.setAnswerDelay(300ms);

        QProcess process;
        process.setProcessEnvironment(toolEnvironment(service.baseUrl(), {}));
        process.start(toolPath(),
            {u"eval"_s, path(u"seed.json"_s), u"--cases"_s, path(u"many.json"_s), u"--json"_s});
        QVERIFY(process.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return model.chatRequests().size() >= 6; }, 20000));
        const int answeredBefore = int(model.chatRequests().size());
        ::kill(pid_t(process.processId()), SIGINT);
        QElapsedTimer clock;
        clock.start();
        const Outcome outcome = finish(process);
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(outcome.exit == 130, qPrintable(outcome.err.left(3000)));
        const QJsonObject report = QJsonDocument::fromJson(outcome.out.toUtf8()).object();
        QVERIFY2(!report.isEmpty(), qPrintable(outcome.out));
        QCOMPARE(report[u"complete"_s].toBool(true), false);
        int done = 0;
        for (const QJsonValue &row : report[u"rows"_s].toArray())
            done += int(row[u"draft"_s][u"done"_s].toBool())
                + int(row[u"live"_s][u"done"_s].toBool());
        QVERIFY2(done > 0 && done < 80, qPrintable(QString::number(done)));
        // Nothing it started goes on asking the model after it is gone.
        QTest::qWait(800);
        QVERIFY2(model.chatRequests().size() <= answeredBefore + 4,
            qPrintable(QString::number(model.chatRequests().size())));
    }

    // The README's "In CI" example, exactly as written there.
    void readmeExample()
    {
        QFile readme(qEnvironmentVariable("TAVI_README"));
        QVERIFY(readme.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(readme.readAll());
        static const QRegularExpression block(u"\n#+ In CI\n(?:(?!\n#).)*?```sh\n(.*?)```"_s,
            QRegularExpression::DotMatchesEverythingOption);
        const QString script = block.match(text).captured(1);
        QVERIFY2(script.contains(u"tavi-pack publish"_s), qPrintable(text.left(200)));

        ServiceWithModel service(
            u"Halo! Saya bisa cek ketersediaan untuk tanggal itu."_s, true, u"ci-token"_s);
        QVERIFY(service.start());
        // The repository the job runs in: a reviewed pack and the usual messages.
        QTemporaryDir work;
        CapabilityPack pack = awaitTask(PackAPI {service.baseUrl(), u"ci-token"_s}.current());
        pack.modules.replyRules.cta = u"Tanya tanggal perjalanannya."_s;
        writeFile(work.filePath(u"pack.json"_s), pack.toJson());
        writeFile(work.filePath(u"traveller-messages.json"_s),
            casesJson({u"Halo"_s, u"Hotel di Ubud?"_s}));

        QProcess shell;
        QProcessEnvironment environment
            = toolEnvironment(service.baseUrl(), {u"TAVI_OPERATOR_TOKEN=ci-token"_s});
        environment.insert(
            u"PATH"_s, QFileInfo(toolPath()).absolutePath() + u':' + environment.value(u"PATH"_s));
        shell.setProcessEnvironment(environment);
        shell.setWorkingDirectory(work.path());
        shell.start(u"bash"_s, {u"-euo"_s, u"pipefail"_s, u"-c"_s, script});
        const Outcome outcome = finish(shell);
        QVERIFY2(outcome.exit == 0, qPrintable(outcome.err + outcome.out));
        QCOMPARE(
            awaitTask(PackAPI {service.baseUrl(), u"ci-token"_s}.current()).modules.replyRules.cta,
            pack.modules.replyRules.cta);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "test_cli.moc"
