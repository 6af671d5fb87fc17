#pragma once

#include "engine/match/replacesettings.h"
#include "engine/match/utf8replace.h"
#include "engine/text/textencoding.h"

#include <QByteArray>

#include <map>
#include <memory>
#include <mutex>
#include <optional>

class QTextCodec;

// How much of a file automatic detection looks at first. The replacement's own pass
// over the whole file then checks the guess, so a longer start buys little but time.
constexpr qsizetype DetectionPrefix = 16 * 1024;

// What automatic detection makes of the start of a file that is not UTF-8, or of all of
// it when it is that short or its start tells nothing (plain ASCII); nullopt when nothing.
std::optional<TextEncoding> guessFromStart(const char *data, qsizetype size);

// The byte routes of an automatic run beyond UTF-8: one per code page its files turn out
// to be in, made the first time a file needs it and shared by every worker after that.
class DetectedRoutes
{
public:
    DetectedRoutes(const ReplaceSettings &settings, const ReplacePairs &pairs, LineBreakMode mode);
    ~DetectedRoutes();
    DetectedRoutes(const DetectedRoutes &) = delete;
    DetectedRoutes &operator=(const DetectedRoutes &) = delete;

    // Null where files in that encoding go through the decoding route: an encoding not
    // taken on its bytes, or one that cannot hold the pairs exactly.
    const Utf8Replace *routeFor(const TextEncoding &encoding) const;

private:
    ReplaceSettings m_settings;
    ReplacePairs m_pairs;
    LineBreakMode m_mode;
    mutable std::mutex m_mutex;
    mutable std::map<QTextCodec *, std::unique_ptr<Utf8Replace>> m_routes;
};
