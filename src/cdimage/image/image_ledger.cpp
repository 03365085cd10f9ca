// The ledger of an image: one line for everything the open and the calls
// after it met, a loss or a note, kept for the caller and printed once.
#include <cstdio>

#include "image_state.h"
#include "printable_text.h"

namespace {

bool is_loss(LedgerKind kind)
{
    switch (kind) {
    case LedgerKind::NOTE:
    case LedgerKind::OPEN_REFUSED:
        return false;
    case LedgerKind::ENTRY_LOST:
    case LedgerKind::FILE_LOST:
    case LedgerKind::TRACK_LOST:
        return true;
    }
    return false;
}

}  // namespace

void record_line(ImageState &image, LedgerKind kind, std::string_view name, std::string_view reason,
                 std::string text, bool printed, int losses)
{
    if (printed && image.options.messages)
        std::fprintf(stderr, "%s\n", text.c_str());
    // A ledger that cannot grow loses the line, never the run.
    try {
        image.ledger.push_back(LedgerLine{kind, std::string(name), std::string(reason), std::move(text), is_loss(kind) ? losses : 0});
    } catch (const std::bad_alloc &) {
    }
}

void record_named(ImageState &image, LedgerKind kind, std::string_view name, std::string_view reason)
{
    record_line(image, kind, name, reason,
                "cdimage: " + printable_text(std::string(name)) + ": " + printable_text(std::string(reason)));
}

void begin_call_lines(ImageState &image)
{
    image.last_call_start = image.ledger.size();
}

namespace {

// The losses of the ledger that cdimage_failure_count counts: every one of
// the open's, and those of the last extraction or load call.
int count_failures(ImageState &image)
{
    int count = 0;
    for (std::size_t i = 0; i < image.ledger.size(); ++i) {
        const LedgerLine &line = image.ledger[i];
        // Files lost count for the call that lost them; the rest for the image.
        if (line.kind != LedgerKind::FILE_LOST || i >= image.last_call_start)
            count += line.losses;
    }
    return count;
}

}  // namespace

extern "C" int cdimage_handle_failure_count(cdimage_handle *handle)
{
    return handle != nullptr && handle->image.is_open ? count_failures(handle->image) : 0;
}

extern "C" int cdimage_handle_ledger_count(cdimage_handle *handle)
{
    return handle != nullptr ? static_cast<int>(handle->image.ledger.size()) : 0;
}

extern "C" int cdimage_handle_ledger_line(cdimage_handle *handle, int index, int *kind, const char **name,
                                          const char **reason, const char **text)
{
    if (handle == nullptr || index < 0 || static_cast<std::size_t>(index) >= handle->image.ledger.size())
        return 0;
    const LedgerLine &line = handle->image.ledger[static_cast<std::size_t>(index)];
    if (kind != nullptr)
        *kind = static_cast<int>(line.kind);
    if (name != nullptr)
        *name = line.name.c_str();
    if (reason != nullptr)
        *reason = line.reason.c_str();
    if (text != nullptr)
        *text = line.text.c_str();
    return 1;
}

extern "C" int cdimage_handle_record_loss(cdimage_handle *handle, int kind, const char *name, const char *reason)
{
    if (handle == nullptr || !handle->image.is_open || name == nullptr || reason == nullptr ||
        (kind != CDIMAGE_LINE_FILE_LOST && kind != CDIMAGE_LINE_TRACK_LOST))
        return 0;
    record_line(handle->image, static_cast<LedgerKind>(kind), name, reason,
                printable_text(std::string(name)) + ": " + printable_text(std::string(reason)));
    return 1;
}
