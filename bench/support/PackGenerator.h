#pragma once

// Packs for benchmarks: a typical one (a few KB) and large ones made of
// thousands of NLU examples and few-shot turns. Deterministic, so runs compare.

#include "CapabilityPack.h"

#include <QByteArray>

namespace PackGenerator {

// What a live pack usually looks like: a handful of each list.
CapabilityPack typicalPack();

// About `approxBytes` of JSON, mostly NLU examples and few-shot turns. With
// `decomposed`, every accented letter is written as base letter + combining mark
// (canonically equivalent to the default, precomposed pack of the same size).
CapabilityPack largePack(qsizetype approxBytes = 5 * 1024 * 1024, bool decomposed = false);

QByteArray typicalPackJson();
QByteArray largePackJson(qsizetype approxBytes = 5 * 1024 * 1024);

} // namespace PackGenerator
