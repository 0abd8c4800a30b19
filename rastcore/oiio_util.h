// Helpers over OpenImageIO, for the library's own sources only.
#ifndef RASTCORE_OIIO_UTIL_H
#define RASTCORE_OIIO_UTIL_H

#include <OpenImageIO/imageio.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "rastcore/internal.h"

namespace rastcore {

// Opens a file to read; the format is found from the content (PNG through our own libpng reader).
std::unique_ptr<OIIO::ImageInput> openInput(const std::string& path);
// The name of a format that is never read (its reader is not safe on damaged files), given an
// OpenImageIO format name or an extension; null for the others.
const char* unsafeFormat(const std::string& formatOrExtension);
bool looksLikePng(const unsigned char* p, size_t n);
std::unique_ptr<OIIO::ImageInput> openPng(const std::string& path);
// Fails if a header claims sizes the file cannot hold (GIF, DPX, OpenEXR).
void checkClaimedSizes(const std::string& path);
int countSubimages(OIIO::ImageInput& in);
int countMiplevels(OIIO::ImageInput& in, int subimage);
void seek(OIIO::ImageInput& in, int subimage, int miplevel);
// The WebP reader multiplies colour by alpha whatever it is asked, and the writer divides by it
// (raised to 1/2.2): pixels are converted around them.
bool alphaComesMultiplied(const OIIO::ImageInput& in);
bool alphaGoesDivided(const OIIO::ImageOutput& out);
// The current subimage's first four channels (at most) as 8-bit pixels.
Pixels readPixels8(OIIO::ImageInput& in, int subimage, int miplevel);

// The spec text: {"width","height","nchannels","format","attributes"}.
OIIO::ImageSpec specFromText(const char* text);
// Bytes the pixels of `spec` take; fails if `length` is shorter.
size_t requireData(const OIIO::ImageSpec& spec, const unsigned char* data, int64_t length);
nlohmann::json parseJson(const char* text, size_t size, const char* what);
void setAttributes(OIIO::ImageSpec& spec, const nlohmann::json& attributes);
// Applies a config object ("quality", "compression", "attributes") to an output spec.
void applyConfig(OIIO::ImageSpec& spec, const nlohmann::json& config, const std::string& format);

std::unique_ptr<OIIO::ImageOutput> createOutput(const std::string& path);
// The spec a writer accepts: without alpha if the format has none.
OIIO::ImageSpec writableSpec(const OIIO::ImageSpec& spec, const OIIO::ImageOutput& out);

}  // namespace rastcore

#endif
