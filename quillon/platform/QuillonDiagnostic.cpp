// The diagnostic sink of the device layer: formatting happens only when someone listens.
#include "../src/QuillonPlatform.h"

#include <cstdarg>
#include <cstdio>

namespace {

TQuillonDiagnosticSink sink = nullptr;

} // namespace

void QuillonSetDiagnosticSink(TQuillonDiagnosticSink newSink) {
    sink = newSink;
}

void QuillonDiagnose(const char* format, ...) {
    if (sink == nullptr)
        return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    sink(line);
}
