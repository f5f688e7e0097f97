#pragma once

#include "fax_image_helpers.h"

#include <cstdint>
#include <string>
#include <vector>

enum class TImageKind { Tiff, Pcx, Dcx };

// Converts a picture file with the kind's reader into an APF file: by
// default at fine resolution with no margin and no options, so each page
// shows the picture at its top left as it is.
int ConvertImage(TImageKind kind, const std::string& in, const std::string& apf, bool fine = true,
                 unsigned margin = 0, uint16_t options = 0);

// A DCX file of these PCX files.
std::string Dcx(const std::vector<std::string>& pcxFiles);

// Small files of each kind, written by netpbm and libtiff's tools.
struct TSeedFiles {
    struct File {
        std::string Name;
        TImageKind Kind;
        std::string Bytes;
        // Where the first page's image data lie; the rest is headers,
        // directories and tables.
        std::size_t DataBegin;
        std::size_t DataEnd;
    };
    explicit TSeedFiles(const TScratch& dir);
    const std::string& Find(const std::string& name) const;
    std::vector<File> Files;
};

// Little-endian fields of a file set to a value.
std::string WithShort(std::string bytes, std::size_t offset, uint16_t value);
std::string WithLong(std::string bytes, std::size_t offset, uint32_t value);
// A little-endian TIFF file whose first directory gives `tag` the one LONG
// `value`.
std::string WithTiffTag(std::string bytes, uint16_t tag, uint32_t value);
// The first value of `tag` in such a file's first directory, held in its
// entry.
uint32_t TiffTag(const std::string& bytes, uint16_t tag);

// A white PCX picture, each row one run-length-coded row of 0xFF bytes.
std::string WhitePcx(uint32_t width, uint32_t height);
