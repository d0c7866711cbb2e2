// tavi-pack: the capability pack from the command line, for scripts and CI.

#include "CommandLine.h"
#include "Commands.h"
#include "Memory.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onInterrupt(int)
{
    // Only what is safe in a signal handler: the event loop does the rest.
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[1], &byte, 1);
    // A second Ctrl-C is not waited on.
    std::signal(SIGINT, SIG_DFL);
}

QCoro::Task<> runAndQuit(CommandLine::Invocation invocation)
{
    QCoro::Task<int> running = Commands::run(std::move(invocation));
    const int status = co_await std::move(running);
    QCoreApplication::exit(status);
}

// A pull holds the answer and the pieces it arrives in, some 6 MB for a 5 MB
// pack, and reads none of it as a pack. Touching that memory page by page costs
// a fault per page, microseconds each on a virtual machine: the heap is grown
// in large pages and made present in one call instead. A larger answer faults
// in the rest as it arrives.
void prepareHeapForOneAnswer()
{
    constexpr std::size_t presentBytes = 8 * 1024 * 1024;
    const auto before = reinterpret_cast<std::uintptr_t>(::sbrk(0));
    growHeapInLargePages(32 * 1024 * 1024);
#if defined(MADV_POPULATE_WRITE)
    // Advice only: a kernel without it leaves the pages to be faulted in.
    const std::uintptr_t start = before & ~std::uintptr_t(4095);
    const auto top = reinterpret_cast<std::uintptr_t>(::sbrk(0));
    const std::uintptr_t end = std::min(top, start + presentBytes);
    if (end > start)
        ::madvise(reinterpret_cast<void *>(start), end - start, MADV_POPULATE_WRITE);
#else
    (void)before;
    (void)presentBytes;
#endif
}

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}

} // namespace

int main(int argc, char *argv[])
{
    keepFreedMemoryForReuse();
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    CommandLine::Invocation invocation;
    try {
        invocation = CommandLine::parse(arguments);
    } catch (const CommandLine::CliError &error) {
        print(stderr, error.description() + QLatin1Char('\n'));
        return error.exitCode();
    }
    if (invocation.help) {
        print(stdout, CommandLine::helpText(invocation.command));
        return CommandLine::ok;
    }
    if (invocation.version) {
        print(stdout, QStringLiteral("tavi-pack " TAVI_PACK_VERSION "\n"));
        return CommandLine::ok;
    }

    if (invocation.command == QLatin1String("pull"))
        prepareHeapForOneAnswer();
    else
        // One pack read, then the process is gone: the heap is not reused, so its
        // first touch is what costs. A 5 MB pack takes some 40 MB.
        growHeapInLargePages(128 * 1024 * 1024);
    if (invocation.command == QLatin1String("lint")) {
        const int status = Commands::lint(invocation);
        std::fflush(stdout);
        return status;
    }

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavi-pack"));

    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
            char byte = 0;
            while (::read(g_signalPipe[0], &byte, 1) > 0) { }
            Commands::interrupt();
        });
        struct sigaction action
        { };
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
    }

    const bool pulling = invocation.command == QLatin1String("pull");
    // Started from the running loop, so that its end can stop the loop even
    // when it needs no network at all.
    std::optional<QCoro::Task<>> task;
    QTimer::singleShot(0, &app, [&] { task.emplace(runAndQuit(std::move(invocation))); });
    const int status = QCoreApplication::exec();
#if !defined(__SANITIZE_ADDRESS__)
    // A pull has written its file or its output by now, and flushed it. What is
    // left, closing the connection and running every destructor, only hands
    // memory back that the kernel takes back at once anyway, and costs a pull
    // of a large pack milliseconds. Sanitizer builds go the long way, so that
    // the leak check still sees a clean end.
    if (pulling) {
        std::fflush(stdout);
        std::_Exit(status);
    }
#else
    (void)pulling;
#endif
    // Replies go with deleteLater, which the stopped loop no longer runs, and the
    // network manager's own thread ends its connections asynchronously: close
    // them while events can still be delivered, or their objects are left behind.
    // Deleting the manager waits for its thread, so whatever the thread handed
    // back on its way out is queued by then: one more pass delivers it, with no
    // time spent waiting on the clock.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (auto *manager
        = app.findChild<QNetworkAccessManager *>(QString(), Qt::FindDirectChildrenOnly)) {
        manager->clearConnectionCache();
        QCoreApplication::sendPostedEvents();
        delete manager;
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return status;
}
