#include "render/jpegimages.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

namespace rw {

namespace {

// --- the image --------------------------------------------------------------

struct FastJpegImage {
    fz_image super;
    fz_image *original; // decodes the MuPDF way when libjpeg has a complaint
};

struct JpegErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    bool warned;
};

void onJpegError(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<JpegErrors *>(cinfo->err)->jump, 1);
}

void onJpegMessage(j_common_ptr cinfo, int level)
{
    // Level -1 is a warning about the data (corrupt or cut short); MuPDF
    // reports those and may decode such a stream differently.
    if (level < 0)
        reinterpret_cast<JpegErrors *>(cinfo->err)->warned = true;
}

fz_pixmap *tryNewPixmap(fz_context *ctx, fz_colorspace *cs, int w, int h)
{
    fz_pixmap *volatile pix = nullptr;
    fz_try(ctx)
        pix = fz_new_pixmap(ctx, cs, w, h, nullptr, 0);
    fz_catch(ctx)
        pix = nullptr;
    return pix;
}

// Decodes the image's JPEG data, reduced by 2^l2factor (0 to 3) as MuPDF's
// decoder would; null when libjpeg reports anything at all, or the data
// does not match the image.
fz_pixmap *decode(fz_context *ctx, fz_image *image, fz_compressed_buffer *buffer, int l2factor)
{
    unsigned char *data = nullptr;
    std::size_t size = fz_buffer_storage(ctx, buffer->buffer, &data);
    // MuPDF skips stray line ends before the JPEG's first marker.
    while (size > 0 && (*data == '\n' || *data == '\r')) {
        ++data;
        --size;
    }
    if (size == 0)
        return nullptr;

    jpeg_decompress_struct cinfo{};
    JpegErrors errors{};
    fz_pixmap *volatile pix = nullptr;
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = onJpegError;
    errors.pub.emit_message = onJpegMessage;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&cinfo);
        fz_drop_pixmap(ctx, pix);
        return nullptr;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);

    // The colour transform as MuPDF decides it: the PDF's /ColorTransform,
    // by default on for three components, and an Adobe marker overrules.
    int transform = buffer->params.u.jpeg.color_transform;
    if (transform == -1)
        transform = cinfo.num_components == 3 ? 1 : 0;
    if (cinfo.saw_Adobe_marker)
        transform = cinfo.Adobe_transform;
    const bool rgb = image->n == 3;
    const bool matches = cinfo.num_components == image->n
                         && int(cinfo.image_width) == image->w
                         && int(cinfo.image_height) == image->h && cinfo.data_precision == 8
                         && !errors.warned;
    if (matches) {
        if (rgb)
            cinfo.jpeg_color_space = transform ? JCS_YCbCr : JCS_RGB;
        cinfo.out_color_space = rgb ? JCS_RGB : JCS_GRAYSCALE;
        cinfo.scale_num = 8 >> l2factor;
        cinfo.scale_denom = 8;
        jpeg_start_decompress(&cinfo);
        pix = tryNewPixmap(ctx, image->colorspace, int(cinfo.output_width),
                           int(cinfo.output_height));
    }
    if (pix) {
        unsigned char *samples = fz_pixmap_samples(ctx, pix);
        const std::size_t stride = std::size_t(fz_pixmap_stride(ctx, pix));
        JSAMPROW rows[16];
        while (cinfo.output_scanline < cinfo.output_height && !errors.warned) {
            const unsigned first = cinfo.output_scanline;
            const unsigned count =
                std::min<unsigned>(16, cinfo.output_height - cinfo.output_scanline);
            for (unsigned i = 0; i < count; ++i)
                rows[i] = samples + (first + i) * stride;
            if (jpeg_read_scanlines(&cinfo, rows, count) == 0)
                break;
        }
        if (errors.warned || cinfo.output_scanline < cinfo.output_height) {
            fz_drop_pixmap(ctx, pix);
            pix = nullptr;
        } else {
            // As MuPDF's decoder leaves it: smoothing only when asked for.
            if (image->interpolate)
                pix->flags |= FZ_PIXMAP_FLAG_INTERPOLATE;
            else
                pix->flags &= ~FZ_PIXMAP_FLAG_INTERPOLATE;
            pix->xres = image->xres;
            pix->yres = image->yres;
        }
    }
    jpeg_destroy_decompress(&cinfo);
    return pix;
}

fz_pixmap *getPixmap(fz_context *ctx, fz_image *image, fz_irect *subarea, int w, int h,
                     int *l2factor)
{
    auto *fast = reinterpret_cast<FastJpegImage *>(image);
    const int wanted = l2factor ? *l2factor : 0;
    const int native = std::clamp(wanted, 0, 3);
    fz_pixmap *pix =
        decode(ctx, fast->original, fz_compressed_image_buffer(ctx, fast->original), native);
    if (!pix)
        return fast->original->get_pixmap(ctx, fast->original, subarea, w, h, l2factor);
    // The whole image was decoded; the rest of the reduction is the
    // caller's, as after MuPDF's own decoder.
    if (subarea)
        *subarea = fz_irect{0, 0, image->w, image->h};
    if (l2factor)
        *l2factor = wanted - native;
    return pix;
}

std::size_t getSize(fz_context *ctx, fz_image *image)
{
    auto *fast = reinterpret_cast<FastJpegImage *>(image);
    return sizeof(FastJpegImage) + fz_image_size(ctx, fast->original);
}

void dropImage(fz_context *ctx, fz_image *image)
{
    fz_drop_image(ctx, reinterpret_cast<FastJpegImage *>(image)->original);
}

// A new image decoding `image` the fast way, or null when the fast path
// does not cover it.
fz_image *fastJpegImage(fz_context *ctx, fz_image *image)
{
    fz_compressed_buffer *buffer = fz_compressed_image_buffer(ctx, image);
    if (!buffer || buffer->params.type != FZ_IMAGE_JPEG || image->bpc != 8 || image->imagemask
        || image->use_colorkey || image->use_decode || image->mask)
        return nullptr;
    const enum fz_colorspace_type type = fz_colorspace_type(ctx, image->colorspace);
    if (!((image->n == 3 && type == FZ_COLORSPACE_RGB)
          || (image->n == 1 && type == FZ_COLORSPACE_GRAY)))
        return nullptr;
    FastJpegImage *fast = fz_new_derived_image(
        ctx, image->w, image->h, 8, image->colorspace, image->xres, image->yres,
        image->interpolate, 0, nullptr, nullptr, nullptr, FastJpegImage, getPixmap, getSize,
        dropImage);
    fast->original = fz_keep_image(ctx, image);
    return &fast->super;
}

// --- the device -------------------------------------------------------------

struct FastJpegDevice {
    fz_device super;
    fz_device *target;
};

fz_device *target(fz_device *dev)
{
    return reinterpret_cast<FastJpegDevice *>(dev)->target;
}

void fillImage(fz_context *ctx, fz_device *dev, fz_image *image, fz_matrix ctm, float alpha,
               fz_color_params params)
{
    fz_image *fast = fastJpegImage(ctx, image);
    if (!fast) {
        fz_fill_image(ctx, target(dev), image, ctm, alpha, params);
        return;
    }
    fz_try(ctx)
        fz_fill_image(ctx, target(dev), fast, ctm, alpha, params);
    fz_always(ctx)
        fz_drop_image(ctx, fast);
    fz_catch(ctx)
        fz_rethrow(ctx);
}

// Everything else is passed on unchanged.

void fillPath(fz_context *ctx, fz_device *dev, const fz_path *path, int evenOdd, fz_matrix ctm,
              fz_colorspace *cs, const float *color, float alpha, fz_color_params params)
{
    fz_fill_path(ctx, target(dev), path, evenOdd, ctm, cs, color, alpha, params);
}

void strokePath(fz_context *ctx, fz_device *dev, const fz_path *path,
                const fz_stroke_state *stroke, fz_matrix ctm, fz_colorspace *cs,
                const float *color, float alpha, fz_color_params params)
{
    fz_stroke_path(ctx, target(dev), path, stroke, ctm, cs, color, alpha, params);
}

void clipPath(fz_context *ctx, fz_device *dev, const fz_path *path, int evenOdd, fz_matrix ctm,
              fz_rect scissor)
{
    fz_clip_path(ctx, target(dev), path, evenOdd, ctm, scissor);
}

void clipStrokePath(fz_context *ctx, fz_device *dev, const fz_path *path,
                    const fz_stroke_state *stroke, fz_matrix ctm, fz_rect scissor)
{
    fz_clip_stroke_path(ctx, target(dev), path, stroke, ctm, scissor);
}

void fillText(fz_context *ctx, fz_device *dev, const fz_text *text, fz_matrix ctm,
              fz_colorspace *cs, const float *color, float alpha, fz_color_params params)
{
    fz_fill_text(ctx, target(dev), text, ctm, cs, color, alpha, params);
}

void strokeText(fz_context *ctx, fz_device *dev, const fz_text *text,
                const fz_stroke_state *stroke, fz_matrix ctm, fz_colorspace *cs,
                const float *color, float alpha, fz_color_params params)
{
    fz_stroke_text(ctx, target(dev), text, stroke, ctm, cs, color, alpha, params);
}

void clipText(fz_context *ctx, fz_device *dev, const fz_text *text, fz_matrix ctm,
              fz_rect scissor)
{
    fz_clip_text(ctx, target(dev), text, ctm, scissor);
}

void clipStrokeText(fz_context *ctx, fz_device *dev, const fz_text *text,
                    const fz_stroke_state *stroke, fz_matrix ctm, fz_rect scissor)
{
    fz_clip_stroke_text(ctx, target(dev), text, stroke, ctm, scissor);
}

void ignoreText(fz_context *ctx, fz_device *dev, const fz_text *text, fz_matrix ctm)
{
    fz_ignore_text(ctx, target(dev), text, ctm);
}

void fillShade(fz_context *ctx, fz_device *dev, fz_shade *shade, fz_matrix ctm, float alpha,
               fz_color_params params)
{
    fz_fill_shade(ctx, target(dev), shade, ctm, alpha, params);
}

void fillImageMask(fz_context *ctx, fz_device *dev, fz_image *image, fz_matrix ctm,
                   fz_colorspace *cs, const float *color, float alpha, fz_color_params params)
{
    fz_fill_image_mask(ctx, target(dev), image, ctm, cs, color, alpha, params);
}

void clipImageMask(fz_context *ctx, fz_device *dev, fz_image *image, fz_matrix ctm,
                   fz_rect scissor)
{
    fz_clip_image_mask(ctx, target(dev), image, ctm, scissor);
}

void popClip(fz_context *ctx, fz_device *dev)
{
    fz_pop_clip(ctx, target(dev));
}

void beginMask(fz_context *ctx, fz_device *dev, fz_rect area, int luminosity, fz_colorspace *cs,
               const float *bc, fz_color_params params)
{
    fz_begin_mask(ctx, target(dev), area, luminosity, cs, bc, params);
}

void endMask(fz_context *ctx, fz_device *dev)
{
    fz_end_mask(ctx, target(dev));
}

void beginGroup(fz_context *ctx, fz_device *dev, fz_rect area, fz_colorspace *cs, int isolated,
                int knockout, int blendmode, float alpha)
{
    fz_begin_group(ctx, target(dev), area, cs, isolated, knockout, blendmode, alpha);
}

void endGroup(fz_context *ctx, fz_device *dev)
{
    fz_end_group(ctx, target(dev));
}

int beginTile(fz_context *ctx, fz_device *dev, fz_rect area, fz_rect view, float xstep,
              float ystep, fz_matrix ctm, int id)
{
    return fz_begin_tile_id(ctx, target(dev), area, view, xstep, ystep, ctm, id);
}

void endTile(fz_context *ctx, fz_device *dev)
{
    fz_end_tile(ctx, target(dev));
}

void renderFlags(fz_context *ctx, fz_device *dev, int set, int clear)
{
    fz_render_flags(ctx, target(dev), set, clear);
}

void setDefaultColorspaces(fz_context *ctx, fz_device *dev, fz_default_colorspaces *spaces)
{
    fz_set_default_colorspaces(ctx, target(dev), spaces);
}

void beginLayer(fz_context *ctx, fz_device *dev, const char *name)
{
    fz_begin_layer(ctx, target(dev), name);
}

void endLayer(fz_context *ctx, fz_device *dev)
{
    fz_end_layer(ctx, target(dev));
}

} // namespace

fz_device *newFastJpegDevice(fz_context *ctx, fz_device *target)
{
    FastJpegDevice *dev = fz_new_derived_device(ctx, FastJpegDevice);
    dev->target = target;
    dev->super.hints = target->hints;
    dev->super.flags = target->flags;
    dev->super.fill_path = fillPath;
    dev->super.stroke_path = strokePath;
    dev->super.clip_path = clipPath;
    dev->super.clip_stroke_path = clipStrokePath;
    dev->super.fill_text = fillText;
    dev->super.stroke_text = strokeText;
    dev->super.clip_text = clipText;
    dev->super.clip_stroke_text = clipStrokeText;
    dev->super.ignore_text = ignoreText;
    dev->super.fill_shade = fillShade;
    dev->super.fill_image = fillImage;
    dev->super.fill_image_mask = fillImageMask;
    dev->super.clip_image_mask = clipImageMask;
    dev->super.pop_clip = popClip;
    dev->super.begin_mask = beginMask;
    dev->super.end_mask = endMask;
    dev->super.begin_group = beginGroup;
    dev->super.end_group = endGroup;
    dev->super.begin_tile = beginTile;
    dev->super.end_tile = endTile;
    dev->super.render_flags = renderFlags;
    dev->super.set_default_colorspaces = setDefaultColorspaces;
    dev->super.begin_layer = beginLayer;
    dev->super.end_layer = endLayer;
    return &dev->super;
}

} // namespace rw
