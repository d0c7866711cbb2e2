#pragma once

#include "PackGenerator.h"
#include "PackServiceProcess.h"
#include "ScriptedModelServer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <optional>

// The reference service on loopback, live pack about 5 MB, and a local model
// that is there, so the workspace's model probes stay on loopback and short.
// For the benchmarks that time the window and the workspace on a large draft.
class LargePackService
{
public:
    LargePackService()
    {
        const QString seedPath = m_dir.filePath(QStringLiteral("large.json"));
        QFile seed(seedPath);
        if (!seed.open(QIODevice::WriteOnly) || seed.write(PackGenerator::largePackJson()) < 0)
            qFatal("cannot write the large seed pack");
        seed.close();
        PackServiceProcess::Options options;
        options.seed = seedPath;
        m_service.emplace(options);
        if (!m_service->start())
            qFatal("the pack service did not start: %s", qPrintable(m_service->output()));
        m_model.makeDefault();
    }

    QUrl baseUrl() const { return m_service->baseUrl(); }
    ScriptedModelServer &model() { return m_model; }

private:
    QTemporaryDir m_dir;
    std::optional<PackServiceProcess> m_service;
    ScriptedModelServer m_model;
};
