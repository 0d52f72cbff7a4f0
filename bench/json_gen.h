// A patcher-shaped JSON text of a chosen size, for the JSON benchmarks and
// anyone who needs a large realistic document: nested dictionaries, arrays
// of numbers, strings with escapes and non-ASCII text, and a subpatcher
// every 50 boxes. Deterministic: the same size gives the same text.
#ifndef KIVO_BENCH_JSON_GEN_H
#define KIVO_BENCH_JSON_GEN_H

#include <cstddef>
#include <string>

namespace kivo::bench {

inline void json_gen_box(std::string &out, long i, int depth) {
    std::string id = "obj-" + std::to_string(i);
    out += "\t\t\t\t{\n\t\t\t\t\t\"box\" : {\n";
    out += "\t\t\t\t\t\t\"id\" : \"" + id + "\",\n";
    out += "\t\t\t\t\t\t\"maxclass\" : \"" + std::string(i % 3 ? "newobj" : "message") + "\",\n";
    out += "\t\t\t\t\t\t\"numinlets\" : " + std::to_string(1 + i % 3) + ",\n";
    out += "\t\t\t\t\t\t\"numoutlets\" : " + std::to_string(i % 4) + ",\n";
    out += "\t\t\t\t\t\t\"outlettype\" : [ \"bang\", \"\", \"int\" ],\n";
    out += "\t\t\t\t\t\t\"patching_rect\" : [ " + std::to_string(12.5 + i * 0.25) + ", " +
           std::to_string(100.0 + i * 1.75) + ", 50.0, 22.0 ],\n";
    out += "\t\t\t\t\t\t\"text\" : \"metro " + std::to_string(i % 500) +
           " @active 1 \\\"quoted\\\\path\\\"\\n caf\xc3\xa9 \\u00e9\\u20ac\",\n";
    out += "\t\t\t\t\t\t\"saved_attribute_attributes\" : {\n\t\t\t\t\t\t\t\"valueof\" : {\n";
    out += "\t\t\t\t\t\t\t\t\"parameter_initial\" : [ " + std::to_string(i % 128) + " ],\n";
    out += "\t\t\t\t\t\t\t\t\"parameter_longname\" : \"" + id + "\",\n";
    out += "\t\t\t\t\t\t\t\t\"parameter_mmax\" : 127.0,\n\t\t\t\t\t\t\t\t\"parameter_enable\" : true,\n";
    out += "\t\t\t\t\t\t\t\t\"parameter_units\" : null\n\t\t\t\t\t\t\t}\n\t\t\t\t\t\t}";
    if (depth < 2 && i % 50 == 49) {
        out += ",\n\t\t\t\t\t\t\"patcher\" : {\n\t\t\t\t\t\t\t\"boxes\" : [\n";
        for (long k = 0; k < 3; k++) {
            if (k) out += ",\n";
            json_gen_box(out, i * 10 + k, depth + 1);
        }
        out += "\n\t\t\t\t\t\t\t],\n\t\t\t\t\t\t\t\"lines\" : [ ]\n\t\t\t\t\t\t}";
    }
    out += "\n\t\t\t\t\t}\n\t\t\t\t}";
}

// About `bytes` bytes (a little more: the last box and the lines close it).
inline std::string json_gen_patcher(size_t bytes) {
    std::string out;
    out.reserve(bytes + bytes / 8 + 4096);
    out += "{\n\t\"patcher\" : {\n\t\t\"fileversion\" : 1,\n";
    out += "\t\t\"appversion\" : {\n\t\t\t\"major\" : 8,\n\t\t\t\"minor\" : 5,\n\t\t\t\"revision\" : 6\n\t\t},\n";
    out += "\t\t\"rect\" : [ 34.0, 87.0, 1212.0, 820.0 ],\n\t\t\"gridsize\" : [ 15.0, 15.0 ],\n";
    out += "\t\t\"boxes\" : [\n";
    long n = 0;
    const size_t lines_share = bytes / 5;
    while (out.size() + lines_share < bytes) {
        if (n) out += ",\n";
        json_gen_box(out, n++, 0);
    }
    out += "\n\t\t],\n\t\t\"lines\" : [\n";
    for (long i = 0; out.size() < bytes || i == 0; i++) {
        if (i) out += ",\n";
        out += "\t\t\t{\n\t\t\t\t\"patchline\" : {\n\t\t\t\t\t\"destination\" : [ \"obj-" + std::to_string((i + 1) % n) +
               "\", 0 ],\n\t\t\t\t\t\"source\" : [ \"obj-" + std::to_string(i % n) + "\", " +
               std::to_string(i % 3) + " ]\n\t\t\t\t}\n\t\t\t}";
    }
    out += "\n\t\t]\n\t}\n}\n";
    return out;
}

} // namespace kivo::bench

#endif
