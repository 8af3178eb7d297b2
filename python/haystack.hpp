// Haystacks: a Python str as the engine's Text, read in place.
//
// A str stores 1, 2 or 4 bytes per code point (PyUnicode_KIND); the engine
// reads that storage directly, so a search converts and copies nothing and
// never fills the str's cached UTF-8 form. Three things still depend on the
// whole text, and all are made cheap for repeated searches of one large str
// by a small per-thread memo:
//
// - A lone surrogate (only possible in 2- and 4-byte strs) has no UTF-8 form;
//   such a haystack raises the interpreter's own UnicodeEncodeError, produced
//   by its UTF-8 encoder, wherever the surrogate is. The check is one
//   vectorised scan; the memo remembers that a large str passed it.
// - Results report UTF-8 byte offsets, counted from the nearest known
//   position. The memo keeps the offsets of every 512th code point of the
//   str (ByteMarks), recorded by the searches that pass them, so repeated
//   searches of one text count its UTF-8 lengths once.
// - A literal scan of a 2- or 4-byte str reads 2 or 4 bytes per code point.
//   Once the scans of one large str have read it one and a half times, or
//   at the first scan of a walk over all of it, the memo keeps a 1-byte
//   copy of it (text.hpp, NarrowCopy) that later scans read instead.
// - find_at takes a byte offset. Turning it into a code-point index walks
//   from the nearest known (index, byte) pair; the memo remembers where the
//   last find_at of a large str ended, so a loop of find_at calls over the
//   matches of a text walks it once in total.
//
// Soundness of the memo: it holds a strong reference to the str it describes
// (through a capsule in the thread state's dict, so that the reference is
// released with the thread), hence that str cannot be freed and another one
// allocated at its address while the memo refers to it. The reference is
// dropped at the next search on the thread once the memo is the str's only
// owner, or when another large str takes its place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "text.hpp"

namespace kordal::py {

struct Haystack {
  Haystack() = default;
  Haystack(PyObject* o, const kordal::Text& t) : obj(o), text(t) {}
  // Hands the memo what the call's wide scans would have saved.
  ~Haystack();
  Haystack(const Haystack&) = delete;
  Haystack& operator=(const Haystack&) = delete;

  PyObject* obj = nullptr;  // the str or str subclass (borrowed)
  kordal::Text text;
  // Of a large 2- or 4-byte str (text.narrow points here): the memo's
  // narrow copy if it has one, held for the call, since a search nested in
  // it may make the memo drop the copy.
  kordal::NarrowCopy narrow;
  std::shared_ptr<const uint8_t[]> narrow_units;
};

// A str or str subclass as a haystack. TypeError for anything else; the
// interpreter's UnicodeEncodeError for a str holding a lone surrogate. Both
// carry the note "while processing '<param>'".
bool to_haystack(PyObject* o, const char* param, Haystack& out);

// The Text of a str already accepted as a haystack (a result's input).
kordal::Text text_of(PyObject* str);

// For a str already accepted, whose memo entry to_haystack made: the memo's
// narrow copy of it, if the memo still holds it (a walk's later steps).
void attach_narrow(Haystack& h);

// For a walk over the whole text of h (findall, finditer, split, replace),
// which reads all of it however many matches it finds: the walk's first
// scan that could read the narrow copy builds it there and then, with the
// interpreter lock lent, rather than once searches have read the text one
// and a half times. Only for a walk whose searches run with search_control.
void narrow_for_walk(Haystack& h);

// A walk of kordal_python.re over a large wide str, whose haystacks may hold
// lone surrogates (the copy needs no check for them): the memo's narrow
// copy of `str`, built at the walk's first scan that can read it, under
// narrow_for_walk's rule. Lives as long as the walk.
struct ReNarrow {
  PyObject* str = nullptr;  // the str walked (borrowed)
  kordal::NarrowCopy copy;
  std::shared_ptr<const uint8_t[]> units;  // keeps the copy for the walk
};

// Points text.narrow at r, for `str` whose whole text `text` is (text.n may
// be cut to an end position later): nothing for a 1-byte or short str, or
// when the memo cannot describe it.
void narrow_for_re_walk(PyObject* str, kordal::Text& text, ReNarrow& r);

// Code-point index of byte offset `byte` for find_at, with its byte offset:
// offsets at or past the end give the length (and the byte length);
// ValueError for an offset inside a multi-byte character. Walks from the
// memo's position when it describes this str.
bool haystack_index(const Haystack& h, size_t byte, kordal::TextPos& pos);

// Records a known (index, byte) pair of the haystack (where a find_at match
// ended), for the next haystack_index on the same str.
void remember_position(const Haystack& h, kordal::TextPos pos);

struct Memo;

// Lends a search's byte cursor the memo's marks of a large non-ASCII
// haystack (text.hpp, ByteMarks) for the lease's scope, so that repeated
// searches of one str count its UTF-8 lengths once. One lease at a time per
// thread: a search nested in another (from a callback) goes without, and
// cannot make the memo describe another str while the lease lasts. Must
// end before the cursor is used again without the lock's protection of the
// memo, i.e. within the call that made it.
class MarksLease {
 public:
  MarksLease(const Haystack& h, kordal::ByteCursor& cursor);
  ~MarksLease();
  MarksLease(const MarksLease&) = delete;
  MarksLease& operator=(const MarksLease&) = delete;

 private:
  Memo* memo_ = nullptr;
  kordal::ByteCursor* cursor_ = nullptr;
};

}  // namespace kordal::py
