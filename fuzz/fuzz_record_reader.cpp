// Feeds update records to the reader behind quillctl log: a file in the user's folder that may be whole,
// cut by a crash, damaged or planted.
#include "UpdateRecord.h"

#include <QBuffer>
#include <QSet>

#include <algorithm>
#include <cstdlib>

// Qt 5.15's JSON parser leaks the first value of a key given twice when that value is a non-empty
// object or array ({"a":{"b":1},"a":1}); the leak is Qt's, and a reader that ends with its command
// loses a few bytes per planted line. Qt is built without frame pointers: only the slow unwinder
// finds the parser's frame that the suppression names.
extern "C" const char* __lsan_default_suppressions() { return "leak:QJsonDocument::fromJson\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Input: [blanks lo][blanks hi][text]; the blanks go in front of the first line, so that inputs of a
    // fuzzer's length reach lines at and past the 64 KiB bound.
    if (size < 2)
        return 0;
    QByteArray text(data[0] | (data[1] << 8), ' ');
    text.append(reinterpret_cast<const char*>(data + 2), int(size - 2));
    QBuffer device(&text);
    device.open(QIODevice::ReadOnly);
    const UpdateRecord::Listing l = UpdateRecord::read(device, QStringLiteral("r"));

    // Every line but a blank one is a run's start, its end, a settings line, or skipped; exactly those past 65536 bytes
    // are skipped for their length.
    int lines = 0, counted = 0;
    QList<int> tooLong;
    for (int at = 0; at < text.size(); ++lines) {
        const int end = text.indexOf('\n', at) < 0 ? text.size() : text.indexOf('\n', at);
        const bool blank = std::all_of(text.cbegin() + at, text.cbegin() + end, [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); });
        if (end - at > 65536)
            tooLong << lines + 1;
        counted += end - at > 65536 || !blank;
        at = end + 1;
    }
    int ends = 0;
    QSet<QString> ids;
    for (const UpdateRecord::Run& run : l.runs) {
        const QString id = run.start.value(QStringLiteral("run")).toString();
        if (id.isEmpty() || ids.contains(id) || run.start.value(QStringLiteral("event")).toString() != QLatin1String("start"))
            std::abort();
        ids << id;
        if (!run.end.isEmpty()
            && (run.end.value(QStringLiteral("run")).toString() != id || run.end.value(QStringLiteral("event")).toString() != QLatin1String("end")))
            std::abort();
        if (run.end.isEmpty() && run.merged().value(QStringLiteral("result")).toString() != QLatin1String("interrupted"))
            std::abort();
        ends += !run.end.isEmpty();
    }
    for (const UpdateRecord::SettingsLine& s : l.settings)
        if (s.json.value(QStringLiteral("event")).toString() != QLatin1String("settings") || !s.json.value(QStringLiteral("changes")).isObject()
            || s.line < 1 || s.line > lines)
            std::abort();
    if (!l.error.isEmpty() || l.runs.size() + ends + l.settings.size() + l.skipped.size() != counted)
        std::abort();
    // Each message is "r line N: why; skipped", the lines named in order.
    QList<int> namedLong;
    int last = 0;
    for (const QString& s : l.skipped) {
        const QString head = s.section(QLatin1Char(':'), 0, 0), why = s.section(QLatin1Char(':'), 1);
        const int number = head.mid(7).toInt();
        if (!head.startsWith(QLatin1String("r line ")) || !why.endsWith(QLatin1String("; skipped")) || number <= last || number > lines)
            std::abort();
        last = number;
        if (why == QLatin1String(" longer than 65536 bytes; skipped"))
            namedLong << number;
    }
    if (namedLong != tooLong)
        std::abort();
    return 0;
}
