/*
 * Binary data in dictionaries: bytes as a text of 6-bit characters.
 *
 *   - The bytes are one stream of bits, least significant bit of each byte
 *     first; character i carries stream bits 6i to 6i + 5, bit 0 lowest.
 *     L bytes give exactly (8L + 5) div 6 characters: no padding, no line
 *     breaks, and bits past the data in the last character are 0.
 *   - The text is untrusted on the way back (patcher files, clipboard,
 *     other processes): the stored byte count is checked against the text
 *     before anything is allocated, every character against the alphabet,
 *     and the objects against their classes before any of them is asked
 *     for its contents.
 */
#include <array>
#include <cstring>

#include "kivo/atom.h"
#include "kivo/atomarray.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dictionary.h"
#include "kivo/stringobj.h"
#include "kivo/sysmem.h"
#include "runtime/atomarray_internal.h"
#include "runtime/dictionary_binary_internal.h"

namespace {

constexpr char kAlphabet[] = ".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+";
constexpr unsigned char kNotInAlphabet = 255;
static_assert(sizeof(kAlphabet) == 65);

// Character code -> value, or kNotInAlphabet; made at compile time, so
// first use from any thread finds it ready.
constexpr std::array<unsigned char, 256> make_decoding_table() {
    std::array<unsigned char, 256> table{};
    for (auto &v : table) v = kNotInAlphabet;
    for (unsigned char v = 0; v < 64; v++) table[static_cast<unsigned char>(kAlphabet[v])] = v;
    return table;
}
constexpr std::array<unsigned char, 256> kDecodingTable = make_decoding_table();

// The largest byte count whose character count (8L + 5) div 6 is still
// representable with room to spare.
constexpr t_atom_long kMaxBytes = (t_atom_long{1} << 60);

// Characters needed for size bytes, (8 size + 5) div 6 without overflow
// for any size up to kMaxBytes.
t_atom_long chars_for(t_atom_long size) { return size / 3 * 4 + (size % 3 * 8 + 5) / 6; }

} // namespace

extern "C" {

uint32_t getBitRange(const unsigned char *data, t_atom_long size, t_atom_long position, long width) {
    if (!data || size <= 0 || position < 0 || width <= 0) return 0;
    if (width > 32) width = 32;
    uint32_t value = 0;
    for (long j = 0; j < width; j++) {
        const t_atom_long bit = position + j;
        const t_atom_long byte = bit / 8;
        if (byte >= size) break;
        value |= static_cast<uint32_t>((data[byte] >> (bit % 8)) & 1u) << j;
    }
    return value;
}

void setBitRange(unsigned char *block, t_atom_long size, t_atom_long position, long width,
                 uint32_t value) {
    if (!block || size <= 0 || position < 0 || width <= 0) return;
    if (width > 32) width = 32;
    for (long j = 0; j < width; j++) {
        const t_atom_long bit = position + j;
        const t_atom_long byte = bit / 8;
        if (byte >= size) break;
        const auto mask = static_cast<unsigned char>(1u << (bit % 8));
        if ((value >> j) & 1u)
            block[byte] |= mask;
        else
            block[byte] &= static_cast<unsigned char>(~mask);
    }
}

t_kivo_err binarydata_appendtodictionary(const void *bytes, t_atom_long size, t_symbol *key,
                                         t_symbol *type, t_dictionary *d) {
    if (!d || !key || size < 0 || size > kMaxBytes || (size > 0 && !bytes)) return KIVO_ERR_GENERIC;
    const t_atom_long n = chars_for(size);
    char *text = sysmem_newptr(static_cast<t_ptr_size>(n) + 1);
    if (!text) return KIVO_ERR_GENERIC;
    const auto *data = static_cast<const unsigned char *>(bytes);
    for (t_atom_long i = 0; i < n; i++) text[i] = kAlphabet[getBitRange(data, size, 6 * i, 6)];
    text[n] = '\0';

    auto *string = static_cast<t_string *>(object_new(_sym(nobox), _sym(string)));
    if (!string) {
        sysmem_freeptr(text);
        return KIVO_ERR_GENERIC;
    }
    string_setptr(string, text);
    auto *array = static_cast<t_atomarray *>(object_new(_sym(nobox), _sym(atomarray)));
    if (!array) {
        object_free(string);
        return KIVO_ERR_GENERIC;
    }
    t_atom atoms[3];
    atom_setlong(atoms, size);
    atom_setsym(atoms + 1, type ? type : gensym(""));
    atom_setobj(atoms + 2, string);
    // From here on the array frees the string with itself.
    atomarray_flags(array, ATOMARRAY_FLAG_FREECHILDREN);
    if (atomarray_setatoms(array, 3, atoms) != KIVO_ERR_NONE) {
        object_free(array);
        object_free(string);
        return KIVO_ERR_GENERIC;
    }
    if (dictionary_appendatomarray(d, key, &array->ob) != KIVO_ERR_NONE) {
        object_free(array);
        return KIVO_ERR_GENERIC;
    }
    return KIVO_ERR_NONE;
}

t_kivo_err atomarray_decodebinarydata(t_atomarray *array, char **bytes, t_atom_long *size,
                                      t_symbol **type) {
    if (!array || !bytes || !size || !type) return KIVO_ERR_GENERIC;
    *bytes = nullptr;
    *size = 0;
    *type = nullptr;
    // Another class could take the same selectors with other arguments.
    if (object_classname(array) != _sym(atomarray)) return KIVO_ERR_GENERIC;
    long ac = 0;
    t_atom *av = nullptr;
    if (atomarray_getatoms(array, &ac, &av) != KIVO_ERR_NONE || ac < 3 || !av) return KIVO_ERR_GENERIC;
    const t_atom_long count = atom_getlong(av);
    if (count <= 0 || count > kMaxBytes) return KIVO_ERR_GENERIC;
    // A reader may already have turned the text into a symbol: no object.
    auto *string = static_cast<t_string *>(atom_getobj(av + 2));
    if (!string || object_classname(string) != _sym(string)) return KIVO_ERR_GENERIC;
    const char *text = string_getptr(string);
    const size_t length = text ? std::strlen(text) : 0;
    // The count comes from the data: a text too short for it is refused
    // before a block of that size is asked for.
    if (static_cast<size_t>(chars_for(count)) > length) return KIVO_ERR_GENERIC;

    auto *block = reinterpret_cast<unsigned char *>(sysmem_newptrclear(static_cast<t_ptr_size>(count)));
    if (!block) return KIVO_ERR_GENERIC;
    for (size_t i = 0; i < length; i++) {
        const unsigned char value = kDecodingTable[static_cast<unsigned char>(text[i])];
        if (value == kNotInAlphabet) {
            sysmem_freeptr(block);
            return KIVO_ERR_GENERIC;
        }
        setBitRange(block, count, 6 * static_cast<t_atom_long>(i), 6, value);
    }
    *bytes = reinterpret_cast<char *>(block);
    *size = count;
    *type = atom_getsym(av + 1);
    return KIVO_ERR_NONE;
}

} // extern "C"
