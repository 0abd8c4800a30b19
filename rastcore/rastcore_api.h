// librastcore: the image-codec library every decode, encode and conversion of Pelmora goes
// through. It is loaded at run time (dlopen) and offers these 18 C functions, nothing else.
//
// General rules
// - Paths and texts are NUL-terminated UTF-8. Lengths and sizes are signed 32-bit; every product
//   of sizes is checked before use, and a buffer that would not fit a 32-bit length is refused.
// - A function that fails returns null, false or 0 and leaves its reason in c_get_lasterror(),
//   which is kept per thread. Every function may be called from several threads at once.
// - Buffers returned by c_get_image_info, c_read_thumbnail, c_read_image_rgba,
//   c_check_format_supports and c_encode_image belong to the caller once returned and are given
//   back exactly once through c_free_resource.
// - Files are written to a temporary file beside the target and renamed over it at the end: a
//   failed or cancelled write leaves the target as it was and no partial file behind.
// - The format of a file to read is found from its content; the format of a file to write from
//   the extension of its name.
//
// The texts (JSON)
// - Info (c_get_image_info), UTF-8, not NUL-terminated (its length is returned):
//     {"format":"jpeg","width":W,"height":H,"orientedWidth":W2,"orientedHeight":H2,
//      "nchannels":3,"pixelformat":"uint8","orientation":1,"subimage":0,"miplevel":0,
//      "subimages":N,"miplevels":M,"attributes":{"<name>":<number|text>, ...}}
//   orientation is the EXIF orientation 1..8; orientedWidth/Height are the size once it is
//   applied. attributes holds the file's metadata of number and text kind.
// - Feature support (c_check_format_supports), NUL-terminated:
//     {"format":"tiff","reading":true,"multiimage":true,"alpha":true, ...}
//   features is a comma-separated list of feature names ("multiimage", "mipmap", "alpha",
//   "exif", "iptc", "tiles", "appendsubimage", "thumbnail", "ioproxy", ...); an empty list asks
//   for all of these. The format is chosen from the path's extension; the file need not exist.
// - Spec (c_output_image, c_encode_image, c_open_image_forwrite, c_write_image_subimage):
//     {"width":W,"height":H,"nchannels":N,"format":"uint8",
//      "attributes":{"<name>":<number|text>, ...}}
//   format is one of "uint8" (default), "uint16", "half", "float". The pixel data is
//   interleaved, top row first, exactly width*height*nchannels*bytes-per-value long (more is
//   ignored, less is refused).
// - Config (c_output_image, c_copy_image_to), an object; every member is optional:
//     "quality": 1..100 (JPEG, WebP, HEIF/AVIF), "compression": text (e.g. "zip", "lzw"),
//     "width"/"height": c_copy_image_to resizes to fit inside them (one may be 0 or missing),
//     "orient": true makes c_copy_image_to apply the EXIF orientation,
//     "attributes": {"<name>": <number|text>} set on the written file.
//
// Orientation numbers are EXIF's 1..8. Transform numbers (c_transform): 1 rotate 90 degrees
// clockwise, 2 rotate 180, 3 rotate 90 counter-clockwise, 4 flip left-right, 5 flip top-bottom,
// 6 transpose, 7 transverse.
//
// Thumbnail option bits (c_read_thumbnail): 0x1 apply the EXIF orientation, 0x2 encode PNG
// (keeps alpha; otherwise JPEG quality 85, alpha dropped); other bits are ignored. A width or height of 0 leaves that side free; both 0 means full size.
#ifndef RASTCORE_RASTCORE_API_H
#define RASTCORE_RASTCORE_API_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define RASTCORE_API __attribute__((visibility("default")))

// Called back by c_copy_image_to with its callbackArgument; returning true stops the conversion.
typedef bool (*rastcore_quit_fn)(const char* argument);

// Largest number of pixels (width*height) any decode accepts. The default is 400000000.
RASTCORE_API void c_set_max_imagesize(int32_t limit);
// The reason of this thread's last failure ("" if none); valid until the next call on the thread.
RASTCORE_API const char* c_get_lasterror(void);
// Gives back a buffer returned by this library; null is accepted.
RASTCORE_API void c_free_resource(void* buffer);
// The info text of one subimage and mip level.
RASTCORE_API char* c_get_image_info(const char* path, int32_t* length, int32_t subimage,
                                    int32_t miplevel);
// A thumbnail, encoded as JPEG or PNG, fitting inside width x height (0: free), never enlarged;
// the size made is written back to width and height.
RASTCORE_API unsigned char* c_read_thumbnail(const char* path, int32_t* length, int32_t* width,
                                             int32_t* height, int32_t option, int32_t subimage,
                                             int32_t level);
// The pixels as interleaved 8-bit RGBA, top row first (length = w*h*4). With width and height
// both 0 the image keeps its size; with one of them 0 that side follows the aspect ratio.
RASTCORE_API unsigned char* c_read_image_rgba(const char* path, int32_t* length, int32_t subimage,
                                              int32_t miplevel, int32_t width, int32_t height,
                                              bool fixOrientation);
// What the format chosen by the path's extension supports (see above).
RASTCORE_API char* c_check_format_supports(const char* path, const char* features, bool reading);
// Writes the pixels as the file path.
RASTCORE_API bool c_output_image(const char* path, const char* spec, const unsigned char* data,
                                 int32_t length, const char* config);
// Encodes the pixels in memory into the format of the extension ("png", ".jpg", ...).
RASTCORE_API unsigned char* c_encode_image(const char* extension, const char* spec,
                                           const unsigned char* data, int32_t length,
                                           int32_t* outLength);
// Opens a file of several subimages for writing; specCount must equal subimages.
RASTCORE_API void* c_open_image_forwrite(const char* path, int32_t subimages, const char** specs,
                                         int32_t specCount);
// Writes the next subimage (0, 1, ... in order) through an open handle.
RASTCORE_API bool c_write_image_subimage(void* handle, int32_t subimage, const char* spec,
                                         const unsigned char* data, int32_t length);
// Finishes the file and releases the handle; the file appears only if every subimage was written.
RASTCORE_API bool c_close_image_forwrite(void* handle);
// Converts src into dst (the format of dst's extension), keeping every subimage the target can
// hold. config is configLength bytes of JSON (need not be NUL-terminated; may be null when 0).
RASTCORE_API bool c_copy_image_to(const char* src, const char* dst, const char* config,
                                  uint64_t configLength, rastcore_quit_fn shouldQuit,
                                  const char* callbackArgument);
// Writes an indexed-colour PNG. The palette is colors*3 (RGB) or colors*4 (RGBA) bytes; the
// pixels are width*height indices, one byte each, each below colors.
RASTCORE_API bool c_write_indexed_png_file(const char* dst, int32_t width, int32_t height,
                                           int32_t colors, const unsigned char* palette,
                                           int32_t paletteLength, const unsigned char* pixels,
                                           int32_t pixelLength);
// The number of images in the file; 0 (and an error) if it cannot be read.
RASTCORE_API int32_t c_get_image_count(const char* source);
// Rotates or flips the image as it is shown (its orientation applied) and writes dest with
// orientation 1. source and dest may be the same file.
RASTCORE_API bool c_transform(const char* source, const char* dest, int32_t transform);
// Writes dest as source with the orientation tag set (JPEG: without re-encoding).
RASTCORE_API bool c_modify_orientation(const char* source, const char* dest, int32_t orientation);
// Sets the orientation tag of a JPEG file in place, without re-encoding.
RASTCORE_API bool c_modify_jpeg_orientation(const char* path, int32_t orientation);

#ifdef __cplusplus
}
#endif

#endif
