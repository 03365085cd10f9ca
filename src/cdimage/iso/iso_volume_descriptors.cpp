// The volume descriptor set, from sector 16 to its terminator, and the
// Joliet names: the root directory of the supplementary descriptor that
// records its identifiers in UCS-2, and how such an identifier becomes a
// name component.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "byte_order.h"
#include "image_state.h"
#include "iso9660.h"
#include "utf8_text.h"

namespace {

// Real sets hold a handful of descriptors; a hostile one is not read on.
constexpr uint32_t MAX_DESCRIPTORS = 64;
// A supplementary descriptor's escape sequences say which character set its
// identifiers use: Joliet's "%/@", "%/C" and "%/E" name UCS-2 at its three
// levels.
constexpr int VD_ESCAPE_OFFSET = 88;

constexpr uint32_t REPLACEMENT_CHARACTER = 0xFFFD;
constexpr uint32_t FIRST_HIGH_SURROGATE = 0xD800;
constexpr uint32_t FIRST_LOW_SURROGATE = 0xDC00;
constexpr uint32_t LAST_LOW_SURROGATE = 0xDFFF;
constexpr uint32_t SURROGATE_BITS = 10;

constexpr char NO_JOLIET_NAMES[] = "the volume has no Joliet names";

bool is_joliet_descriptor(const unsigned char *sector)
{
    const unsigned char *escape = sector + VD_ESCAPE_OFFSET;
    return sector[VD_TYPE_OFFSET] == SUPPLEMENTARY_DESCRIPTOR_TYPE && escape[0] == '%' && escape[1] == '/' &&
           (escape[2] == '@' || escape[2] == 'C' || escape[2] == 'E');
}

uint32_t code_unit_at(const unsigned char *identifier, std::size_t i)
{
    return static_cast<uint32_t>(identifier[i]) << 8 | identifier[i + 1];
}

bool is_high_surrogate(uint32_t unit)
{
    return unit >= FIRST_HIGH_SURROGATE && unit < FIRST_LOW_SURROGATE;
}

bool is_low_surrogate(uint32_t unit)
{
    return unit >= FIRST_LOW_SURROGATE && unit <= LAST_LOW_SURROGATE;
}

}  // namespace

bool choose_named_root(ImageState &image, FsExtent &root)
{
    if (image.options.names == NameKind::ISO)
        return true;
    unsigned char sector[DATA_SECTOR_SIZE];
    for (uint32_t k = 0; k < MAX_DESCRIPTORS; ++k) {
        if (!read_data_sector(image, VOLUME_DESCRIPTOR_SECTOR + k, sector) ||
            !holds_standard_id(sector) ||
            sector[VD_TYPE_OFFSET] == TERMINATOR_TYPE)
            break;
        if (is_joliet_descriptor(sector)) {
            root = {little_endian_32(sector + VD_ROOT_EXTENT_OFFSET), little_endian_32(sector + VD_ROOT_SIZE_OFFSET)};
            return true;
        }
    }
    std::snprintf(image.open_reason, sizeof image.open_reason, "%s", NO_JOLIET_NAMES);
    image.open_reason_line = 0;
    return false;
}

std::string joliet_recorded_form(const unsigned char *identifier, std::size_t identifier_length)
{
    std::string text;
    const std::size_t length = std::min(identifier_length, MAX_IDENTIFIER);
    for (std::size_t i = 0; i < length; i += 2) {
        if (i + 1 == length) {
            append_utf8(text, REPLACEMENT_CHARACTER);
            break;
        }
        uint32_t code_point = code_unit_at(identifier, i);
        if (code_point == ';')
            break;
        if (is_high_surrogate(code_point)) {
            const bool paired = i + 3 < length && is_low_surrogate(code_unit_at(identifier, i + 2));
            if (paired) {
                code_point = FIRST_OF_4_BYTES + ((code_point - FIRST_HIGH_SURROGATE) << SURROGATE_BITS) +
                             (code_unit_at(identifier, i + 2) - FIRST_LOW_SURROGATE);
                i += 2;
            } else {
                code_point = REPLACEMENT_CHARACTER;
            }
        } else if (is_low_surrogate(code_point)) {
            code_point = REPLACEMENT_CHARACTER;
        }
        append_utf8(text, code_point);
    }
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

bool build_joliet_component(std::size_t parent_length, std::string_view recorded, char (&component)[MAX_COMPONENT],
                            std::size_t &length)
{
    // The component begins behind the parent's name and its '/'.
    const std::size_t component_start = parent_length + (parent_length != 0);
    if (component_start > MAX_ENTRY_NAME || recorded.size() > MAX_ENTRY_NAME - component_start ||
        recorded.size() > MAX_COMPONENT)
        return false;
    length = recorded.size();
    for (std::size_t i = 0; i < length; ++i) {
        // '/' or NUL inside an identifier would split or end the path.
        const char c = recorded[i];
        component[i] = c == '/' || c == '\0' ? '_' : c;
    }
    // A component of dots alone ("." or "..") would lead out of its directory.
    if (length != 0 && std::all_of(component, component + length, [](char c) { return c == '.'; }))
        std::memset(component, '_', length);
    return true;
}
