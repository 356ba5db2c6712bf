// The stage: raw bytes read, unpacked and turned into UTF-8 into slots of
// text, which the reader takes in order. On its own thread the stage fills
// the slots ahead while the reader's threads split what it filled before.
//
// Three layers, each a window of bytes not yet used: the raw bytes (the
// source's memory, or a buffer read into), the unpacked bytes (the raw
// ones when the input is plain), and the slot being filled. A character
// or a compressed block cut by a window's end stays at its front until the
// window is filled again.

#include "stage.h"

#include <errno.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transcode.h"
#include "unpack.h"

namespace csv_line::input {

namespace {

constexpr size_t RAW_SIZE = 1 << 18;   // bytes asked of the source at a time
constexpr size_t TEXT_SIZE = 1 << 18;  // unpacked bytes held before they are turned into UTF-8
constexpr size_t SLOT_SIZE = 1 << 20;  // text handed over at a time
constexpr int SLOTS = 4;               // filled ahead: 4 MiB at most
// A slot is full with less room than this: room for the bound of the
// longest character in any encoding (4 bytes, to 3 each as U+FFFD).
constexpr size_t UNIT = 16;

struct Window {
    unsigned char *bytes;
    size_t begin, end, capacity;
    bool ended;  // nothing follows `end`
};

struct Slot {
    char *bytes;
    size_t size, taken;
};

}  // namespace

struct Stage {
    Raw raw;
    const char *name;
    int asked;  // the encoding asked for
    int encoding;  // the encoding found: AUTO until the first bytes are unpacked
    int invalid_utf8;
    Packing packing;
    Unpacker *unpacker;

    Window source;  // the raw bytes; over raw.memory when the source is memory
    Window text;  // unpacked, when the text is turned into UTF-8 after

    Slot slots[SLOTS];
    int filling, reading, full;  // the slot filled next, the slot read, the slots filled and not read
    bool over;  // the producer filled its last slot, or failed
    bool failed;
    csv_line_error error;

    bool threaded, leaving;
    pthread_t thread;
    pthread_mutex_t lock;
    pthread_cond_t changed;
};

namespace {

void say(Stage &stage, int code, const char *what)
{
    stage.failed = true;
    stage.error.code = code;
    stage.error.system = code == CSV_LINE_ERROR_IO ? errno : 0;
    std::snprintf(stage.error.message, sizeof stage.error.message, "%.60s: %s", stage.name, what);
}

// Reads more of the source into its window, keeping the bytes not used.
bool read_source(Stage &stage)
{
    Window &source = stage.source;
    if (source.ended)
        return true;
    if (source.begin > 0) {
        std::memmove(source.bytes, source.bytes + source.begin, source.end - source.begin);
        source.end -= source.begin;
        source.begin = 0;
    }
    while (source.end < source.capacity) {
        errno = 0;
        const long long got = stage.raw.read(stage.raw.context, reinterpret_cast<char *>(source.bytes + source.end),
                                             source.capacity - source.end);
        if (got < 0) {
            errno = errno != 0 ? errno : EIO;
            say(stage, CSV_LINE_ERROR_IO, std::strerror(errno));
            return false;
        }
        if (got == 0) {
            source.ended = true;
            break;
        }
        source.end += static_cast<size_t>(got);
        if (stage.packing != Packing::plain)
            break;  // the unpacker takes any amount
    }
    return true;
}

// Unpacks from the source into out, at most room bytes, *written of them
// (after a failure too: the text before it is handed over); false after a
// failure, said. *ended says the last member or frame ended with the
// source.
bool unpack_into(Stage &stage, char *out, size_t room, size_t *written, bool *ended)
{
    Window &source = stage.source;
    *written = 0;
    *ended = false;
    for (;;) {
        if (source.begin == source.end && !source.ended && !read_source(stage))
            return false;
        size_t used, made;
        char why[128];
        const Unpacked state = unpack(stage.unpacker, source.bytes + source.begin, source.end - source.begin,
                                      source.ended, out + *written, room - *written, &used, &made, why, sizeof why);
        source.begin += used;
        *written += made;
        if (state == Unpacked::failed) {
            say(stage, CSV_LINE_ERROR_COMPRESSED, why);
            return false;
        }
        *ended = state == Unpacked::ended;
        if (*ended || *written == room || (*written > 0 && source.begin == source.end))
            return true;
        if (used > 0 || made > 0)
            continue;
        // No step without more input: the unpacker says when its input
        // ends short, so this is a fault of its, not a loop of ours.
        if (source.ended) {
            say(stage, CSV_LINE_ERROR_COMPRESSED, "the stream stopped where it cannot end");
            return false;
        }
        if (!read_source(stage))
            return false;
    }
}

// Fills the text window, which the unpacked bytes go through on their way
// to UTF-8, keeping those not yet turned.
void fill_text(Stage &stage)
{
    Window &text = stage.text;
    if (text.ended)
        return;
    if (text.begin > 0) {
        std::memmove(text.bytes, text.bytes + text.begin, text.end - text.begin);
        text.end -= text.begin;
        text.begin = 0;
    }
    size_t made;
    bool ended;
    const bool unpacked = unpack_into(stage, reinterpret_cast<char *>(text.bytes + text.end), text.capacity - text.end,
                                      &made, &ended);
    text.end += made;
    text.ended = ended || !unpacked;
}

// The bytes that are text, in the encoding found: the unpacked window, or
// for a plain input the source's own.
Window &text_of(Stage &stage)
{
    return stage.packing == Packing::plain ? stage.source : stage.text;
}

// Fills the text window; after a failure, said, nothing follows what it
// holds, which is turned all the same.
void fill(Stage &stage)
{
    if (stage.packing != Packing::plain)
        fill_text(stage);
    else if (!read_source(stage))
        stage.source.ended = true;
}

// Turns what the text window holds into UTF-8 at out, whose `room` bytes
// hold at least UNIT; returns the bytes written.
size_t turn(Stage &stage, Window &text, char *out, size_t room)
{
    const unsigned char *in = text.bytes + text.begin;
    const size_t n = text.end - text.begin;
    const bool replace = stage.invalid_utf8 == CSV_LINE_UTF8_REPLACE;
    size_t take, used, made;
    switch (stage.encoding) {
    case CSV_LINE_ENCODING_UTF16LE:
    case CSV_LINE_ENCODING_UTF16BE:
        take = n < room / 3 * 2 ? n : room / 3 * 2;
        made = utf16_to_utf8(in, take, stage.encoding == CSV_LINE_ENCODING_UTF16BE, text.ended && take == n, replace,
                             out, &used);
        break;
    case CSV_LINE_ENCODING_LATIN1:
        take = used = n < room / 2 ? n : room / 2;
        made = latin1_to_utf8(in, take, out);
        break;
    case CSV_LINE_ENCODING_CP1252:
        take = used = n < room / 3 ? n : room / 3;
        made = cp1252_to_utf8(in, take, out);
        break;
    default:
        if (replace) {
            take = n < room / 3 ? n : room / 3;
            made = utf8_replace(in, take, text.ended && take == n, out, &used);
        } else {
            take = used = made = n < room ? n : room;
            std::memcpy(out, in, made);
        }
        break;
    }
    text.begin += used;
    return made;
}

// Fills the slot with text; false once the text ended or failed.
bool produce(Stage &stage, Slot &slot)
{
    slot.size = slot.taken = 0;
    // A slot's memory is had when it is first filled: a short input
    // fills one.
    if (slot.bytes == nullptr && (slot.bytes = static_cast<char *>(std::malloc(SLOT_SIZE))) == nullptr) {
        errno = ENOMEM;
        say(stage, CSV_LINE_ERROR_MEMORY, "out of memory");
        return false;
    }
    Window &text = text_of(stage);
    for (;;) {
        const size_t room = SLOT_SIZE - slot.size;
        if (room < UNIT)
            return true;
        const bool plain_utf8 = stage.encoding == CSV_LINE_ENCODING_UTF8 && stage.invalid_utf8 != CSV_LINE_UTF8_REPLACE;
        if (plain_utf8 && stage.packing != Packing::plain && text.begin == text.end && !text.ended) {
            // Nothing to turn: unpacked straight into the slot.
            size_t made;
            bool ended;
            const bool unpacked = unpack_into(stage, slot.bytes + slot.size, room, &made, &ended);
            slot.size += made;
            if (ended || !unpacked)
                return false;
            continue;
        }
        // A character takes 4 bytes at most: with fewer, the window is
        // filled first, unless nothing follows.
        if (text.end - text.begin < 4 && !text.ended) {
            fill(stage);
            continue;
        }
        if (stage.encoding == CSV_LINE_ENCODING_AUTO)
            stage.encoding = encoding_of(stage.asked, text.bytes + text.begin, text.end - text.begin);
        if (text.begin == text.end)
            return false;  // ended
        slot.size += turn(stage, text, slot.bytes + slot.size, room);
    }
}

void *run(void *arg)
{
    Stage &stage = *static_cast<Stage *>(arg);
    pthread_mutex_lock(&stage.lock);
    while (!stage.leaving && !stage.over) {
        if (stage.full == SLOTS) {
            pthread_cond_wait(&stage.changed, &stage.lock);
            continue;
        }
        Slot &slot = stage.slots[stage.filling];
        pthread_mutex_unlock(&stage.lock);
        const bool more = produce(stage, slot);
        pthread_mutex_lock(&stage.lock);
        if (slot.size > 0) {
            stage.filling = (stage.filling + 1) % SLOTS;
            stage.full++;
        }
        stage.over = !more;
        pthread_cond_broadcast(&stage.changed);
    }
    pthread_mutex_unlock(&stage.lock);
    return nullptr;
}

}  // namespace

int encoding_of(int encoding, const unsigned char *first, size_t n)
{
    if (encoding != CSV_LINE_ENCODING_AUTO)
        return encoding;
    if (n >= 2 && first[0] == 0xff && first[1] == 0xfe)
        return CSV_LINE_ENCODING_UTF16LE;
    if (n >= 2 && first[0] == 0xfe && first[1] == 0xff)
        return CSV_LINE_ENCODING_UTF16BE;
    return CSV_LINE_ENCODING_UTF8;
}

bool transcodes(int encoding, int invalid_utf8)
{
    return encoding != CSV_LINE_ENCODING_UTF8 || invalid_utf8 == CSV_LINE_UTF8_REPLACE;
}

Stage *stage_open(const Raw &raw, Packing packing, int encoding, int invalid_utf8, bool own_thread, const char *name)
{
    Stage *stage = static_cast<Stage *>(std::calloc(1, sizeof(Stage)));
    if (stage == nullptr)
        return nullptr;
    stage->raw = raw;
    stage->name = name;
    stage->asked = stage->encoding = encoding;
    stage->invalid_utf8 = invalid_utf8;
    stage->packing = packing;
    bool ok = true;
    if (raw.memory != nullptr) {
        // Only read: the window's bytes are never moved.
        stage->source = {const_cast<unsigned char *>(raw.memory), 0, raw.memory_size, raw.memory_size, true};
    } else {
        const size_t capacity = raw.prefix_size > RAW_SIZE ? raw.prefix_size : RAW_SIZE;
        stage->source = {static_cast<unsigned char *>(std::malloc(capacity)), 0, raw.prefix_size, capacity,
                         raw.prefix_ended};
        ok = stage->source.bytes != nullptr;
        if (ok && raw.prefix_size > 0)
            std::memcpy(stage->source.bytes, raw.prefix, raw.prefix_size);
    }
    if (packing != Packing::plain && can_unpack(packing)) {
        stage->text.bytes = static_cast<unsigned char *>(std::malloc(TEXT_SIZE));
        stage->text.capacity = TEXT_SIZE;
        stage->unpacker = unpacker_open(packing);
        ok = ok && stage->text.bytes != nullptr && stage->unpacker != nullptr;
    }
    pthread_mutex_init(&stage->lock, nullptr);
    pthread_cond_init(&stage->changed, nullptr);
    if (ok && !can_unpack(packing)) {
        char said[120];
        std::snprintf(said, sizeof said, "%s input, which this build cannot read (it was built without %s)",
                      packing_name(packing), packing == Packing::gzip ? "zlib" : "libzstd");
        say(*stage, CSV_LINE_ERROR_COMPRESSED, said);
        stage->over = true;
        return stage;
    }
    if (!ok) {
        stage_close(stage);
        return nullptr;
    }
    // Without a thread of its own, the stage fills slots when read: also
    // where CSV_LINE_STAGE_THREAD is 0, for emulators whose threads cannot
    // start.
    const char *threads = std::getenv("CSV_LINE_STAGE_THREAD");
    if (own_thread && (threads == nullptr || std::strcmp(threads, "0") != 0))
        stage->threaded = pthread_create(&stage->thread, nullptr, run, stage) == 0;
    return stage;
}

long long stage_read(Stage *stage, char *out, size_t n)
{
    pthread_mutex_lock(&stage->lock);
    if (!stage->threaded && stage->full == 0 && !stage->over) {
        Slot &slot = stage->slots[stage->filling];
        stage->over = !produce(*stage, slot);
        if (slot.size > 0) {
            stage->filling = (stage->filling + 1) % SLOTS;
            stage->full++;
        }
    }
    while (stage->full == 0 && !stage->over)
        pthread_cond_wait(&stage->changed, &stage->lock);
    if (stage->full == 0) {
        const bool failed = stage->failed;
        pthread_mutex_unlock(&stage->lock);
        if (failed)
            errno = stage->error.system != 0 ? stage->error.system : EIO;
        return failed ? -1 : 0;
    }
    // The slot is the reader's until it is taken whole.
    Slot &slot = stage->slots[stage->reading];
    pthread_mutex_unlock(&stage->lock);
    const size_t left = slot.size - slot.taken, given = n < left ? n : left;
    std::memcpy(out, slot.bytes + slot.taken, given);
    slot.taken += given;
    if (slot.taken == slot.size) {
        pthread_mutex_lock(&stage->lock);
        stage->reading = (stage->reading + 1) % SLOTS;
        stage->full--;
        pthread_cond_broadcast(&stage->changed);
        pthread_mutex_unlock(&stage->lock);
    }
    return static_cast<long long>(given);
}

const csv_line_error &stage_error(const Stage *stage)
{
    return stage->error;
}

int stage_encoding(const Stage *stage)
{
    return stage->encoding;
}

void stage_close(Stage *stage)
{
    if (stage == nullptr)
        return;
    if (stage->threaded) {
        pthread_mutex_lock(&stage->lock);
        stage->leaving = true;
        pthread_cond_broadcast(&stage->changed);
        pthread_mutex_unlock(&stage->lock);
        pthread_join(stage->thread, nullptr);
    }
    pthread_mutex_destroy(&stage->lock);
    pthread_cond_destroy(&stage->changed);
    unpacker_close(stage->unpacker);
    for (Slot &slot : stage->slots)
        std::free(slot.bytes);
    if (stage->raw.memory == nullptr)
        std::free(stage->source.bytes);
    std::free(stage->text.bytes);
    std::free(stage);
}

}  // namespace csv_line::input
