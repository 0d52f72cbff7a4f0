/*
 * Time-value units: conversions between ticks, ms, samples and
 * bars.beats.units, the parser of atoms into a time value and its
 * formatter.
 *
 *   - Musical units are held in ticks, fixed units in ms; conversions read
 *     tempo and sample rate from the transport each time, so a value in
 *     ticks follows later tempo changes.
 *   - The note-value table is built once and never changes afterwards;
 *     lookups scale its counts (written at 480 ticks per quarter) by the
 *     current resolution.
 *   - A failed parse writes nothing but zeros into ticks and ms and leaves
 *     the unit alone, so the caller's time value can stay as it was.
 *   - Durations count bars and beats from 0; positions count them from 1,
 *     from the transport's time-signature origin.
 */
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kivo/atom.h"
#include "kivo/hashtab.h"
#include "kivo/symbol.h"
#include "kivo/sysmem.h"
#include "kivo/timevalue.h"
#include "kivo/transport.h"
#include "runtime/timevalue_internal.h"

namespace {

constexpr double kDefaultSampleRate = 44100.0;
constexpr double kDefaultTempo = 120.0;
constexpr double kTableResolution = 480.0;

struct Units {
    t_symbol *ticks, *barsbeatsunits, *bbu, *notevalues, *ms, *hhmmss, *hz, *samples;
};

const Units &units() {
    static const Units u = {gensym("ticks"), gensym("bars.beats.units"), gensym("bbu"),
                            gensym("notevalues"), gensym("ms"), gensym("hh:mm:ss"),
                            gensym("hz"), gensym("samples")};
    return u;
}

t_itm *resolve(t_itm *x) { return x ? x : itm_getglobal(); }

double tempo_of(t_itm *x) {
    x = resolve(x);
    double tempo = x ? itm_gettempo(x) : kDefaultTempo;
    return tempo > 0 ? tempo : kDefaultTempo;
}

double sr_of(t_itm *x) {
    x = resolve(x);
    double sr = x ? itm_getsr(x) : kDefaultSampleRate;
    return sr > 0 ? sr : kDefaultSampleRate;
}

double resolution() {
    double r = itm_getresolution();
    return r > 0 ? r : kTableResolution;
}

void timesig_of(t_itm *x, long *n, long *d) {
    *n = 4;
    *d = 4;
    x = resolve(x);
    if (x) itm_gettimesignature(x, n, d);
    if (*n <= 0) *n = 4;
    if (*d <= 0) *d = 1;
}

double beat_length(long d) { return resolution() * 4.0 / static_cast<double>(d); }

// ---- the note-value table

struct NoteValue {
    const char *name;
    long ticks; // at 480 ticks per quarter
};

// Plain (n), dotted (nd, x1.5) and triplet (nt, x2/3) values, longest
// first; counts are whole ticks, so "128nd" is 22, and there are no
// triplet 64ths or 128ths.
constexpr NoteValue kNoteValues[] = {
    {"1nd", 2880}, {"1n", 1920}, {"2nd", 1440}, {"1nt", 1280}, {"2n", 960},  {"4nd", 720},
    {"2nt", 640},  {"4n", 480},  {"8nd", 360},  {"4nt", 320},  {"8n", 240},  {"16nd", 180},
    {"8nt", 160},  {"16n", 120}, {"32nd", 90},  {"16nt", 80},  {"32n", 60},  {"64nd", 45},
    {"32nt", 40},  {"64n", 30},  {"128nd", 22}, {"128n", 15},
};

t_quickmap *s_notevalues = nullptr; // built once, read-only afterwards
std::once_flag s_notevalues_once;

void build_notevalues() {
    t_quickmap *map = quickmap_new();
    if (!map) return;
    for (const NoteValue &v : kNoteValues)
        quickmap_add(map, gensym(v.name), reinterpret_cast<void *>(static_cast<t_ptr_int>(v.ticks)));
    quickmap_readonly(map, 1);
    s_notevalues = map;
}

t_quickmap *notevalues() {
    std::call_once(s_notevalues_once, build_notevalues);
    return s_notevalues;
}

// A count from doubles, saturated: huge or undefined values must not
// overflow the integers they are written to.
long to_long(double v) {
    constexpr double kLimit = 9.0e18;
    if (std::isnan(v)) return 0;
    if (v >= kLimit) return static_cast<long>(kLimit);
    if (v <= -kLimit) return -static_cast<long>(kLimit);
    return static_cast<long>(v);
}

// Bars, beats and units as the user writes them; beyond a billion they mean
// nothing, and staying there keeps their arithmetic within a long.
long clamp_count(t_atom_long v) {
    constexpr t_atom_long kLimit = 1000000000;
    return static_cast<long>(v > kLimit ? kLimit : (v < -kLimit ? -kLimit : v));
}

// ---- reading symbol text

// Leading integer of text at *p (sign allowed); advances *p. 0 when none.
long read_long(const char **p) {
    char *end = nullptr;
    long v = std::strtol(*p, &end, 10);
    *p = end;
    return clamp_count(v);
}

// "h:m:s.f", "m:s", "h:m:s:ms": fields are counted from the right, so the
// last one is always seconds (with an optional decimal fraction), as in
// the list form, where two numbers are minutes and seconds. Four fields
// are hours, minutes, seconds and milliseconds, again as in the list form.
double read_clocktext(const char *text) {
    const char *p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    long fields[4] = {0, 0, 0, 0};
    int count = 0;
    double fraction = 0;
    for (;;) {
        const char *start = p;
        long v = std::labs(read_long(&p)); // within a billion: no overflow
        if (p == start) break; // no digits: the rest counts as 0
        if (count < 4) fields[count++] = v;
        if (*p == '.' && count < 4) {
            // A fraction of a second, read as decimals: 1.5 is 1500 ms.
            const char *q = p + 1;
            double scale = 0.1;
            while (std::isdigit(static_cast<unsigned char>(*q))) {
                fraction += (*q - '0') * scale;
                scale /= 10;
                ++q;
            }
            p = q;
            break;
        }
        if (*p != ':') break;
        ++p;
    }
    double ms = 0;
    if (count == 4) {
        ms = fields[0] * 3600000.0 + fields[1] * 60000.0 + fields[2] * 1000.0 + fields[3];
    } else if (count > 0) {
        static const double scale[3] = {1000.0, 60000.0, 3600000.0};
        for (int i = 0; i < count; ++i) ms += fields[count - 1 - i] * scale[i];
    }
    ms += fraction * 1000.0;
    return negative ? -ms : ms;
}

void set_bbu(t_itm_bbu *bbu, char *given, t_atom_long bars, t_atom_long beats,
             t_atom_long u) {
    if (bbu) {
        bbu->bars = bars;
        bbu->beats = beats;
        bbu->units = u;
    }
    if (given) *given = 1;
}

bool is_number(const t_atom *a) {
    return atom_gettype(a) == AT_LONG || atom_gettype(a) == AT_FLOAT;
}

bool is_unit_atom(const t_atom *a) {
    return atom_gettype(a) == AT_SYM && itm_validunit(atom_getsym(a));
}

// One number v with the unit u (two atoms).
void parse_number_with_unit(t_itm *x, double v, t_symbol *u, long flags, double *ticks,
                            double *ms, t_symbol **unit) {
    const Units &U = units();
    const bool ticksonly = flags & TIME_FLAGS_TICKSONLY;
    const bool msonly = flags & TIME_FLAGS_MSONLY;
    if (u == U.ms || u == U.hz) {
        double period = v;
        if (u == U.hz) period = v == 0 ? 0 : 1000.0 / v;
        if (ticksonly) {
            *ticks = itm_mstoticks(x, period);
            *unit = U.ticks;
        } else {
            *ms = period;
            *unit = u;
        }
    } else if (u == U.samples) {
        double period = v / (sr_of(x) * 0.001);
        if (ticksonly) {
            *ticks = itm_mstoticks(x, period);
            *unit = U.ticks;
        } else {
            *ms = period;
            *unit = U.samples;
        }
    } else if (u == U.hhmmss) {
        // One number in the clock unit is seconds, as in the list form.
        double period = v * 1000.0;
        if (ticksonly) {
            *ticks = itm_mstoticks(x, period);
            *unit = U.ticks;
        } else {
            *ms = period;
            *unit = U.hhmmss;
        }
    } else {
        // "ticks", "bbu", "bars.beats.units", "notevalues": a tick count.
        if (msonly) {
            *ms = itm_tickstoms(x, v);
            *unit = U.ms;
        } else {
            *ticks = v;
            *unit = u;
        }
    }
}

} // namespace

namespace kivo::timevalue {

double notevalue_ticks(t_symbol *name) {
    t_quickmap *map = notevalues();
    void *count = nullptr;
    if (!map || !name || quickmap_lookup_key1(map, name, &count) != 0) return 0;
    return static_cast<double>(reinterpret_cast<t_ptr_int>(count)) * resolution() /
           kTableResolution;
}

t_symbol *notevalue_name(double ticks) {
    t_quickmap *map = notevalues();
    if (!map) return nullptr;
    const double at480 = ticks * kTableResolution / resolution();
    if (!(std::fabs(at480) < 1e15)) return nullptr;
    void *name = nullptr;
    auto key = static_cast<t_ptr_int>(std::trunc(at480));
    if (key <= 0 || quickmap_lookup_key2(map, reinterpret_cast<void *>(key), &name) != 0)
        return nullptr;
    return static_cast<t_symbol *>(name);
}

t_symbol *unit_ticks() { return units().ticks; }
t_symbol *unit_ms() { return units().ms; }
t_symbol *unit_samples() { return units().samples; }
t_symbol *unit_hhmmss() { return units().hhmmss; }

} // namespace kivo::timevalue

extern "C" {

long itm_validunit(t_symbol *s) {
    const Units &U = units();
    return s && (s == U.ticks || s == U.barsbeatsunits || s == U.bbu || s == U.notevalues ||
                 s == U.ms || s == U.hhmmss || s == U.hz || s == U.samples)
               ? 1
               : 0;
}

long itm_isunitfixed(t_symbol *s) {
    const Units &U = units();
    return s && (s == U.ms || s == U.hz || s == U.hhmmss || s == U.samples) ? 1 : 0;
}

void itm_notevalues_init(void) { notevalues(); }

// ---- conversions

double itm_mstoticks(t_itm *x, double ms) { return ms * tempo_of(x) / 60000.0 * resolution(); }

double itm_tickstoms(t_itm *x, double ticks) {
    return ticks / resolution() * 60000.0 / tempo_of(x);
}

double itm_sampstoms(t_itm *x, double samples) { return samples / (sr_of(x) * 0.001); }

double itm_mstosamps(t_itm *x, double ms) { return sr_of(x) * ms * 0.001; }

double itm_tickstosamps(t_itm *x, double ticks) {
    if (ticks == 0) return 0;
    const double sr = std::trunc(sr_of(x));
    return sr * (ticks / (tempo_of(x) * resolution() / 60000.0) / 1000.0);
}

void itm_tickstobarbeatunits_timesig(long numerator, long denominator, long *bars, long *beats,
                                     double *units_out, long onebased, double ticks) {
    if (numerator <= 0) numerator = 4;
    if (denominator <= 0) denominator = 1;
    const double beat = beat_length(denominator);
    const double bar = beat * numerator;
    const long b = onebased ? 1 : 0;
    long nbars = to_long(std::trunc(ticks / bar));
    const double whole_beat = std::trunc(beat);
    const double rem =
        whole_beat > 0 && std::isfinite(ticks) ? std::fmod(std::trunc(std::fabs(ticks)), whole_beat) : 0;
    long nbeats;
    double u;
    if (ticks >= 0) {
        nbeats = to_long(std::trunc((ticks - nbars * bar) / beat)) + b;
        nbars += b;
        u = rem;
    } else {
        nbeats = to_long(
            std::trunc(numerator + b - (std::fabs(ticks) - std::fabs(double(nbars)) * bar) / beat));
        if (nbars > -static_cast<long>(9.0e18)) nbars -= b;
        u = rem == 0 ? 0 : beat - rem;
    }
    if (bars) *bars = nbars;
    if (beats) *beats = nbeats;
    if (units_out) *units_out = u;
}

void itm_barbeatunitstoticks_timesig(long numerator, long denominator, long bars, long beats,
                                     double *ticks, long onebased, double u) {
    if (!ticks) return;
    if (numerator <= 0) numerator = 4;
    if (denominator <= 0) denominator = 1;
    const double beat = beat_length(denominator);
    const double bar = beat * numerator;
    if (bars >= 0) {
        if (onebased) {
            if (bars != 0) --bars;
            if (beats != 0) --beats;
        }
        *ticks = bars * bar + beats * beat + u;
    } else {
        if (onebased) {
            ++bars;
            if (beats != 0) --beats;
        }
        const long left = numerator - beats;
        *ticks = -(std::fabs(double(bars)) * bar) - beat * (left < 0 ? 0 : double(left)) + u;
    }
}

void itm_tickstobarbeatunits_relative(t_itm *x, long *bars, long *beats, double *units_out,
                                      double ticks) {
    x = resolve(x);
    long n, d;
    timesig_of(x, &n, &d);
    double otick = 0, ounits = 0;
    long obar = 1, obeat = 1;
    if (x) itm_gettimesigorigin(x, &otick, &obar, &obeat, &ounits);
    const double delta = ticks - otick;
    long B = 0, b = 0;
    double u = 0;
    itm_tickstobarbeatunits_timesig(n, d, &B, &b, &u, 0, delta);
    double outunits = ounits + u + (delta - std::trunc(delta));
    long beat = b + obeat;
    long bar = B + obar;
    // Units carry by a quarter note, whatever the denominator.
    const double r = resolution();
    if (outunits >= r) {
        ++beat;
        outunits -= r;
    }
    if (beat > n) {
        ++bar;
        beat -= n;
    }
    if (bars) *bars = bar;
    if (beats) *beats = beat;
    if (units_out) *units_out = outunits;
}

void itm_barbeatunitstoticks_relative(t_itm *x, long bars, long beats, double *ticks,
                                      double u) {
    if (!ticks) return;
    x = resolve(x);
    long n, d;
    timesig_of(x, &n, &d);
    double otick = 0, ounits = 0;
    long obar = 1, obeat = 1;
    if (x) itm_gettimesigorigin(x, &otick, &obar, &obeat, &ounits);
    if (bars < obar) {
        itm_barbeatunitstoticks_timesig(n, d, bars, beats, ticks, 1, u);
        return;
    }
    double du = u - ounits;
    long db = beats - obeat;
    long dbar = bars - obar;
    if (du < 0) {
        --db;
        du += resolution();
    }
    if (db < 0) {
        --dbar;
        db += n;
    }
    double t = 0;
    itm_barbeatunitstoticks_timesig(n, d, dbar, db, &t, 0, du);
    if (t < 0) {
        itm_barbeatunitstoticks_timesig(n, d, bars, beats, ticks, 1, u);
        return;
    }
    *ticks = t + otick;
}

void itm_tickstobarbeatunits(t_itm *x, long *bars, long *beats, double *units_out,
                             long position, double ticks) {
    if (position) {
        itm_tickstobarbeatunits_relative(x, bars, beats, units_out, ticks);
        return;
    }
    long n, d;
    timesig_of(x, &n, &d);
    itm_tickstobarbeatunits_timesig(n, d, bars, beats, units_out, 0, ticks);
}

void itm_barbeatunitstoticks(t_itm *x, long bars, long beats, double *ticks, long position,
                             double u) {
    if (position) {
        itm_barbeatunitstoticks_relative(x, bars, beats, ticks, u);
        return;
    }
    long n, d;
    timesig_of(x, &n, &d);
    itm_barbeatunitstoticks_timesig(n, d, bars, beats, ticks, 0, u);
}

// ---- parsing

long itm_parse_symlist(t_itm *x, t_symbol *s, long flags, double *value, t_symbol **kind,
                       t_itm_bbu *bbu, char *bbugiven) {
    const Units &U = units();
    if (!s || !s->name) return -1;
    const char *text = s->name;
    double v = 0;
    t_symbol *k = nullptr;
    if (std::strchr(text, 'n')) {
        // Not in the table: 0 ticks, still a note value.
        v = kivo::timevalue::notevalue_ticks(s);
        k = U.notevalues;
    } else if (std::strchr(text, ':')) {
        v = read_clocktext(text);
        k = U.hhmmss;
    } else if (std::strchr(text, '.')) {
        const char *p = text;
        long fields[3] = {0, 0, 0};
        for (int i = 0; i < 3; ++i) {
            const char *start = p;
            fields[i] = read_long(&p);
            if (p == start || *p != '.') break;
            ++p;
        }
        set_bbu(bbu, bbugiven, fields[0], fields[1], fields[2]);
        itm_barbeatunitstoticks(x, fields[0], fields[1], &v, flags & TIME_FLAGS_POSITION,
                                static_cast<double>(fields[2]));
        k = U.bbu;
    } else {
        return -1;
    }
    if (value) *value = v;
    if (kind) *kind = k;
    return 0;
}

long itm_parse_symbol(t_itm *x, t_symbol *s, t_symbol *explicitunit, long flags, double *ticks,
                      double *ms, t_symbol **unit, t_itm_bbu *bbu, char *bbugiven) {
    const Units &U = units();
    double value = 0;
    t_symbol *kind = nullptr;
    if (itm_parse_symlist(x, s, flags, &value, &kind, bbu, bbugiven) != 0) return -1;
    const bool clock = kind == U.hhmmss;
    if (flags & TIME_FLAGS_MSONLY) {
        *ms = clock ? value : itm_tickstoms(x, value);
        *unit = clock ? U.hhmmss : U.ms;
    } else if (flags & TIME_FLAGS_TICKSONLY) {
        *ticks = clock ? itm_mstoticks(x, value) : value;
        *unit = clock ? U.ticks : kind;
    } else if (explicitunit && itm_isunitfixed(explicitunit)) {
        *ms = clock ? value : itm_tickstoms(x, value);
        *unit = explicitunit;
    } else {
        if (clock) {
            *ms = value;
            *ticks = itm_mstoticks(x, value);
        } else {
            *ticks = value;
        }
        *unit = explicitunit ? explicitunit : kind;
    }
    return 0;
}

long itm_parse_list(t_itm *x, long argc, t_atom *argv, t_symbol *explicitunit, long flags,
                    double *ticks, double *ms, t_symbol **unit, t_itm_bbu *bbu,
                    char *bbugiven) {
    const Units &U = units();
    if (argc <= 0 || !argv) return -1;
    auto n = [&](long i) { return clamp_count(atom_getlong(argv + i)); };
    const bool fixedunit = explicitunit && itm_isunitfixed(explicitunit);
    if ((flags & TIME_FLAGS_MSONLY) || fixedunit) {
        double total = 0;
        if (argc >= 4)
            total = n(0) * 3600000.0 + n(1) * 60000.0 + n(2) * 1000.0 + n(3);
        else if (argc == 3)
            total = n(0) * 3600000.0 + n(1) * 60000.0 + n(2) * 1000.0;
        else if (argc == 2)
            total = n(0) * 60000.0 + n(1) * 1000.0;
        else
            total = n(0) * 1000.0;
        *ms = total;
        *unit = fixedunit ? explicitunit : U.hhmmss;
        return 0;
    }
    long bars = 0, beats = 0, u = 0;
    if (argc >= 3) {
        bars = n(0);
        beats = n(1);
        u = n(2);
    } else if (argc == 2) {
        beats = n(0);
        u = n(1);
    } else {
        u = n(0);
    }
    set_bbu(bbu, bbugiven, bars, beats, u);
    itm_barbeatunitstoticks(x, bars, beats, ticks, flags & TIME_FLAGS_POSITION,
                            static_cast<double>(u));
    *unit = explicitunit ? explicitunit : U.barsbeatsunits;
    return 0;
}

long itm_parse(t_itm *x, long argc, t_atom *argv, long flags, double *ticks, double *ms,
               t_symbol **unit, t_itm_bbu *bbu, char *bbugiven) {
    const Units &U = units();
    if (!ticks || !ms || !unit) return -1;
    *ticks = 0;
    *ms = 0;
    if (bbugiven) *bbugiven = 0;
    if (argc <= 0 || !argv) return -1;
    if (argc == 1) {
        if (is_number(argv)) {
            const double v = atom_getfloat(argv);
            if (flags & TIME_FLAGS_TICKSONLY) {
                *ticks = v;
                *unit = U.ticks;
            } else {
                *ms = v;
                *unit = U.ms;
            }
        } else if (atom_gettype(argv) == AT_SYM) {
            if (itm_parse_symbol(x, atom_getsym(argv), nullptr, flags, ticks, ms, unit, bbu,
                                 bbugiven) != 0)
                return -1;
        } else {
            return -1;
        }
    } else if (is_unit_atom(argv + argc - 1)) {
        t_symbol *u = atom_getsym(argv + argc - 1);
        if (atom_gettype(argv) == AT_SYM) {
            // Text that reads as no time at all is an error, not a zero.
            if (itm_parse_symbol(x, atom_getsym(argv), u, flags, ticks, ms, unit, bbu,
                                 bbugiven) != 0)
                return -1;
        } else if (argc == 2) {
            if (!is_number(argv)) return -1;
            parse_number_with_unit(x, atom_getfloat(argv), u, flags, ticks, ms, unit);
        } else if (itm_parse_list(x, argc - 1, argv, u, flags, ticks, ms, unit, bbu,
                                  bbugiven) != 0) {
            return -1;
        }
    } else if (itm_parse_list(x, argc, argv, nullptr, flags, ticks, ms, unit, bbu, bbugiven) !=
               0) {
        return -1;
    }
    if (flags & TIME_FLAGS_POSITIVE) {
        if (*ticks < 0) *ticks = 0;
        if (*ms < 0) *ms = 0;
    }
    return 0;
}

// ---- formatting

t_kivo_err itm_format(t_itm *x, long flags, t_symbol *unit, long *argc, t_atom **argv,
                      double ms, double ticks) {
    const Units &U = units();
    if (!argc || !argv || !unit) return -1;
    const bool withunit = !(flags & TIME_FLAGS_NOUNITS);
    long values;
    if (unit == U.hhmmss)
        values = 4;
    else if (unit == U.bbu || unit == U.barsbeatsunits)
        values = 3;
    else if (itm_validunit(unit))
        values = 1;
    else
        values = 0; // an unknown unit: only its name, never an unwritten atom
    const long count = values + (withunit ? 1 : 0);
    if (count == 0) {
        *argc = 0;
        return 0;
    }
    t_atom out[5];
    if (unit == U.hhmmss) {
        double rest = ms;
        const double h = std::trunc(rest / 3600000.0);
        rest -= h * 3600000.0;
        const double m = std::trunc(rest / 60000.0);
        rest -= m * 60000.0;
        const double s = std::trunc(rest / 1000.0);
        rest -= s * 1000.0;
        atom_setlong(out + 0, to_long(h));
        atom_setlong(out + 1, to_long(m));
        atom_setlong(out + 2, to_long(s));
        atom_setlong(out + 3, to_long(std::trunc(rest)));
    } else if (unit == U.bbu || unit == U.barsbeatsunits) {
        long bars = 0, beats = 0;
        double u = 0;
        itm_tickstobarbeatunits(x, &bars, &beats, &u, flags & TIME_FLAGS_POSITION, ticks);
        atom_setlong(out + 0, bars);
        atom_setlong(out + 1, beats);
        atom_setlong(out + 2, to_long(std::trunc(u)));
    } else if (unit == U.ms) {
        atom_setfloat(out, ms);
    } else if (unit == U.ticks) {
        atom_setfloat(out, ticks);
    } else if (unit == U.hz) {
        atom_setfloat(out, ms == 0 ? 0 : 1000.0 / ms);
    } else if (unit == U.notevalues) {
        t_symbol *name = kivo::timevalue::notevalue_name(ticks);
        if (name)
            atom_setsym(out, name);
        else
            atom_setfloat(out, 0);
    } else if (unit == U.samples) {
        atom_setfloat(out, sr_of(x) * ms * 0.001);
    }
    if (withunit) atom_setsym(out + values, unit);

    t_atom *dest = *argv;
    long room = *argc;
    if (room <= 0 || !dest) {
        dest = reinterpret_cast<t_atom *>(
            sysmem_newptr(static_cast<t_ptr_size>(count) * sizeof(t_atom)));
        if (!dest) return -1;
        room = count;
        *argv = dest;
    }
    const long n = count < room ? count : room;
    for (long i = 0; i < n; ++i) dest[i] = out[i];
    *argc = n;
    return 0;
}

} // extern "C"
