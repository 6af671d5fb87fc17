#pragma once

#include "engine/match/replacesettings.h"
#include "engine/match/utf8replace.h"
#include "engine/text/textencoding.h"

#include <QByteArray>

#include <map>
#include <memory>
#include <mutex>

class QTextCodec;

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
