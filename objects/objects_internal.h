/*
 * Built-in objects and MIDI: what the scheduler uses of the MIDI layer.
 *
 * The MIDI layer here is the input ring between MIDI drivers (their own
 * threads) and the scheduler's poll, and the two entry points through which
 * the poll hands packets to the MIDI input objects. The drivers and the
 * input objects themselves come later; until then a test may register a
 * driver and observe what reaches the input objects.
 *
 * Used by: runtime/ (scheduler, timer, control), tests. May include the
 * kivo/ headers and runtime/sched_internal.h. Not exported to externals.
 */
#ifndef KIVO_OBJECTS_OBJECTS_INTERNAL_H
#define KIVO_OBJECTS_OBJECTS_INTERNAL_H

#include "kivo/sched.h"

KIVO_BEGIN_C

/* A MIDI port. The scheduler writes data, length, status, channel and
   sysex as packets arrive (on the polling thread); the rest belongs to the
   MIDI layer. */
typedef struct sysmidi_port {
    t_symbol *name;          /* the port's name, or null */
    short chanoffset;        /* added to the channel: a multiple of 16 */
    unsigned char enabled;   /* packets of a disabled port are dropped */
    unsigned char *data;     /* the last packet (borrowed from the ring) */
    long length;             /* its length in bytes */
    short status;            /* bits 4-6 of the last status byte: 0 note-off, 1 note-on ... */
    short channel;           /* low four bits of the last status byte + chanoffset */
    char sysex;              /* 1 while a system-exclusive message is being received */
} t_sysmidi_port;

/* Kinds of midiin_sendinput. */
enum {
    SYSMIDI_INPUT_REALTIME = 1, /* one real-time byte */
    SYSMIDI_INPUT_PACKET = 2,   /* a whole packet */
    SYSMIDI_INPUT_SYSEX = 3     /* system-exclusive data */
};

/* Starts the MIDI layer (makes the input ring); sysmidi_stop stops the
   drivers and keeps the ring. */
KIVO_INTERNAL void sysmidi_init(void);
KIVO_INTERNAL void sysmidi_stop(void);
/* Called by drivers on their own threads: appends the packet (the bytes are
   copied) under the global clock mutex and wakes the timer. flag != 0: the
   packet takes the scheduler's time when it is read instead of `time`.
   Packets of disabled ports, and packets that do not fit, are dropped. */
KIVO_INTERNAL void sysmidi_enqbigpacket(t_sysmidi_port *port, const unsigned char *bytes,
                                        long length, long flag, double time);
/* 1 when the ring holds unread packets. */
KIVO_INTERNAL long sysmidi_haspacket(void);
/* Takes one packet: 0, or -1 when the ring is empty or there is no MIDI
   layer. *data points into the ring and stays valid until the next read. */
KIVO_INTERNAL long sysmidi_rcvpacket(t_sysmidi_port **port, unsigned char **data, double *time,
                                     long *length);
/* 1 when the MIDI layer exists and has a driver loaded. */
KIVO_INTERNAL long sysmidi_usingdriver(void);
/* Drivers announce themselves; a test stands in for one. Counted. */
KIVO_INTERNAL void sysmidi_driver_register(void);
KIVO_INTERNAL void sysmidi_driver_unregister(void);

/* Hands input to the MIDI input objects: `kind` as above, the scheduler, the
   port's status record, the port, the bytes (borrowed for the call) and
   their length. Other kinds are ignored. */
KIVO_INTERNAL void midiin_sendinput(long kind, t_scheduler *s, t_sysmidi_port *status, void *port,
                                    unsigned char *bytes, long length);
/* Hands the data bytes of one channel message, chosen by the port's status
   class, to the MIDI input objects of that kind. */
KIVO_INTERNAL void stdin_sendinput(t_scheduler *s, t_sysmidi_port *status, void *port,
                                   unsigned char *bytes);

/* Who receives input until the MIDI input objects exist: a test installs
   an observer (null: none). `length` is -1 for stdin_sendinput. */
typedef void (*t_sysmidi_inputobserver)(long kind, t_scheduler *s, t_sysmidi_port *status,
                                        void *port, const unsigned char *bytes, long length);
KIVO_INTERNAL void sysmidi_setinputobserver(t_sysmidi_inputobserver fn);

KIVO_END_C

#endif
