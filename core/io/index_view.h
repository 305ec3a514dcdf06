// Index files served in place: Teskra::view (engine.h) maps a file
// read-only (mapped_file.h) and reads its index section where it lies.
//
// The file is decoded by the loader's own code (IndexFile::decode, the
// section decoders of format.h), so a view accepts exactly the files load
// accepts, of every version, and refuses the others with load's errors;
// only the index section is handed to the readers below, which note where
// things are instead of copying them:
//
// - BruteForce: the codes, ids and norms are each one array in the file; the
//   view's store borrows them. Ids (u64) and norms (f32) follow n codes, so
//   they are aligned for their type only when n * packed_bytes_per_vec is a
//   multiple of 8 (4); when not, that array alone is copied (and exported as
//   a copy).
// - IvfFlat: each list's member records (u64 id, code, f32 norm) are scanned
//   in place; the view keeps the offset of every list's member count (8
//   bytes a list) and the centroid ranking panel, built as load builds it.
// - Hnsw: the view keeps the offset of every node's record (8 bytes a node)
//   and walks the file's lists through it (HnswView, search/hnsw.h).
//
// Opening reads the header and, for IvfFlat and Hnsw, steps through the
// section once to check it; the pages that pass touches are then given back
// (MappedFile::release_pages), so opening a large file does not leave it all
// resident. A view never reads outside its mapping: every offset it keeps
// was checked against the file's length when it was opened.
#pragma once

// Teskra::view is declared in core/engine.h; the readers live in
// index_view.cpp.
#include "core/engine.h"
#include "core/io/mapped_file.h"
