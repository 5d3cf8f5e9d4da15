#!/usr/bin/python3
# Makes the pictures of made/: one picture written by other programs
# (ImageMagick, Pillow, FFmpeg and the formats' own encoders) in the variants
# readers get wrong, and a few by hand where no program here writes the
# variant (named "-hand"). Each name says format, variant and writer. A
# variant a writer here cannot make is left out with a note on stderr.
#   tests/data/corpus/make.py      (then scripts/corpus-references.py)
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

from PIL import Image, ImageCms

here = os.path.dirname(os.path.abspath(__file__))
out_dir = os.path.join(here, 'made')
scratch = tempfile.mkdtemp(prefix='pellara-corpus-')

# 67 x 43: odd sides, nothing symmetric, so a flip, a turn or a swapped
# channel shows; an alpha ramp in one corner and fully transparent pixels
# that keep a colour of their own.
W, H = 67, 43


def source_rgba():
    im = Image.new('RGBA', (W, H))
    px = im.load()
    for y in range(H):
        for x in range(W):
            r = x * 255 // (W - 1)
            g = y * 255 // (H - 1)
            b = ((x * 7 + y * 13) * 5) % 256
            a = 255
            if x < 20 and y < 12:
                a = (x * 12 + y * 3) % 256
            if (x * 3 + y) % 17 == 0 and y > 20:
                a = 0
            if 40 < x < 46:  # a hard edge
                r, g, b = 255, 255, 0
            px[x, y] = (r, g, b, a)
    return im


RGBA = source_rgba()
RGB = RGBA.convert('RGB')
GREY = RGB.convert('L')
GREY_ALPHA = RGBA.convert('LA')
PAL = RGB.quantize(200)
PAL16 = RGB.quantize(16)
MONO = GREY.point(lambda v: 255 if v > 110 else 0).convert('1')

SRC_RGB = os.path.join(scratch, 'rgb.png')
SRC_RGBA = os.path.join(scratch, 'rgba.png')
SRC_GREY = os.path.join(scratch, 'grey.png')
SRC_16 = os.path.join(scratch, 'rgba16.png')
RGB.save(SRC_RGB)
RGBA.save(SRC_RGBA)
GREY.save(SRC_GREY)

made = []


def target(name):
    path = os.path.join(out_dir, name)
    made.append(name)
    return path


def note(name, why):
    print('make.py: %s left out: %s' % (name, why), file=sys.stderr)
    if name in made:
        made.remove(name)
    path = os.path.join(out_dir, name)
    if os.path.exists(path):
        os.remove(path)


def run(name, command):
    """Runs a writer; the variant is left out when it fails."""
    try:
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
    except (subprocess.CalledProcessError, FileNotFoundError) as e:
        note(name, getattr(e, 'stderr', b'') or str(e))


def magick(name, args, source=SRC_RGB):
    run(name, ['convert', source] + args + [target(name)])


def magick_as(name, coder, args, source=SRC_RGB):
    path = target(name)
    run(name, ['convert', source] + args + [coder + ':' + path])


def ffmpeg(name, args, source=SRC_RGBA):
    path = target(name)
    run(name, ['ffmpeg', '-nostdin', '-loglevel', 'error', '-y', '-i', source] + args +
        ['-frames:v', '1', '-update', '1', path])


def pillow(name, image, **options):
    path = target(name)
    try:
        image.save(path, **options)
    except Exception as e:  # a Pillow that lacks the writer
        note(name, str(e))


def hand(name, data):
    with open(target(name), 'wb') as f:
        f.write(data)


if os.path.isdir(out_dir):
    shutil.rmtree(out_dir)
os.makedirs(out_dir)

# A 16-bit source: every sample's low byte differs from its high byte, so a
# reader that drops the low byte or does not round shows.
subprocess.run(['convert', SRC_RGBA, '-depth', '16', '-evaluate', 'multiply',
                          '0.9987', SRC_16], check=True)

# --- TGA ---------------------------------------------------------------
magick('tga-rle-bottom-left-im.tga', ['-compress', 'RLE'])
magick('tga-raw-bottom-left-im.tga', [])
magick('tga-rgba-rle-bottom-left-im.tga', ['-compress', 'RLE'], SRC_RGBA)
magick('tga-grey-rle-im.tga', ['-type', 'Grayscale', '-compress', 'RLE'], SRC_GREY)
magick('tga-palette-rle-im.tga', ['-type', 'Palette', '-colors', '64', '-compress', 'RLE'])
magick('tga-grey-alpha-im.tga', ['-type', 'GrayscaleAlpha'], SRC_RGBA)
pillow('tga-grey-alpha-pillow.tga', GREY_ALPHA)
pillow('tga-grey-alpha-rle-pillow.tga', GREY_ALPHA, rle=True)
pillow('tga-top-left-pillow.tga', RGB, orientation=1)
pillow('tga-rgba-rle-pillow.tga', RGBA, rle=True)
ffmpeg('tga-rle-ffmpeg.tga', ['-pix_fmt', 'bgr24'])
ffmpeg('tga-rgba-ffmpeg.tga', ['-pix_fmt', 'bgra'])

# --- PNG: transparent pixels keep their colour ----------------------------
for bits in (1, 2, 4, 8):
    levels = (1 << bits) - 1
    grey = GREY.point(lambda v, levels=levels: (v * levels + 127) // 255 * 255 // levels)
    source = os.path.join(scratch, 'grey%d.png' % bits)
    grey.save(source)
    key = 255 // levels * (levels // 2 if levels > 1 else 1)
    magick_as('png-grey%d-trns-im.png' % bits, 'png',
              ['-depth', str(bits), '-define', 'png:bit-depth=%d' % bits,
               '-define', 'png:color-type=0', '-transparent', 'gray(%d)' % key], source)
pillow('png-grey8-trns-pillow.png', GREY, transparency=128)
pillow('png-rgb-trns-pillow.png', RGB, transparency=(255, 255, 0))
pillow('png-palette-trns-pillow.png', PAL, transparency=bytes(range(0, 200)))
pillow('png-rgba-pillow.png', RGBA)
pillow('png-grey-alpha-pillow.png', GREY_ALPHA)
pillow('png-interlaced-rgba-pillow.png', RGBA, interlace=1)  # Pillow ignores it; kept as a plain file
magick_as('png-rgba16-im.png', 'png', [], SRC_16)
magick_as('png-interlaced-rgb-im.png', 'png', ['-interlace', 'PNG'])
magick_as('png-palette4-im.png', 'png8', ['-colors', '16', '-define', 'png:bit-depth=4'])
ffmpeg('png-rgb48-ffmpeg.png', ['-pix_fmt', 'rgb48be'], SRC_16)
# ImageMagick keeps a JPEG's EXIF block as the PNG's eXIf chunk, orientation
# included, and does not turn the pixels.
for n in (3, 6, 8):
    exif = Image.Exif()
    exif[0x0112] = n
    source = os.path.join(scratch, 'orient%d.jpg' % n)
    RGB.save(source, exif=exif, quality=95)
    magick_as('png-exif-orient%d-im.png' % n, 'png', [], source)

# tRNS before PLTE: out of order, yet browsers read it.
def png_chunks(data):
    at, chunks = 8, []
    while at < len(data):
        n = struct.unpack('>I', data[at:at + 4])[0]
        chunks.append((data[at + 4:at + 8], data[at + 8:at + 8 + n]))
        at += 12 + n
    return chunks


def png_bytes(chunks):
    out = b'\x89PNG\r\n\x1a\n'
    for kind, body in chunks:
        out += struct.pack('>I', len(body)) + kind + body + struct.pack(
            '>I', zlib.crc32(kind + body) & 0xFFFFFFFF)
    return out


buf = io.BytesIO()
PAL.save(buf, 'PNG', transparency=bytes([0, 64, 128, 192, 255] * 40))
chunks = png_chunks(buf.getvalue())
plte = [c for c in chunks if c[0] == b'PLTE']
trns = [c for c in chunks if c[0] == b'tRNS']
rest = [c for c in chunks if c[0] not in (b'PLTE', b'tRNS')]
hand('png-trns-before-plte-hand.png', png_bytes(rest[:1] + trns + plte + rest[1:]))
# A truecolour picture's suggested palette after its tRNS (libpng warns and
# reads it, transparent colour and all).
buf = io.BytesIO()
RGB.save(buf, 'PNG', transparency=(255, 255, 0))
chunks = png_chunks(buf.getvalue())
suggested = (b'PLTE', bytes(PAL16.getpalette()[:48]))
hand('png-rgb-trns-before-plte-hand.png', png_bytes(chunks[:2] + [suggested] + chunks[2:]))

# --- GIF ----------------------------------------------------------------
pillow('gif-transparent-index-pillow.gif', RGBA.convert('RGB').quantize(63), transparency=5)
magick('gif-transparent-index-im.gif', ['-colors', '64'], SRC_RGBA)
# A first frame smaller than the logical screen, away from its corner.
magick_as('gif-small-first-frame-im.gif', 'gif',
          ['-crop', '40x30+5+4', '-set', 'page', '67x43+11+7'])
# Two frames: a small one at an offset, then one touching the right edge.
frames = os.path.join(scratch, 'second.png')
RGB.crop((0, 0, 30, 20)).save(frames)
path = target('gif-frames-combine-im.gif')
run('gif-frames-combine-im.gif',
    ['convert', '-dispose', 'none', '(', SRC_RGB, '-crop', '50x30+0+0', '-set', 'page',
     '67x43+3+2', ')', '(', frames, '-set', 'page', '+37+23', ')', '-loop', '0', path])
# An animation whose first frame has transparent pixels: Pillow and
# ImageMagick show them with their palette colour (FFmpeg does not).
pillow('gif-animated-transparent-pillow.gif', RGB.quantize(63), save_all=True,
       append_images=[RGB.transpose(Image.Transpose.FLIP_LEFT_RIGHT).quantize(63)],
       transparency=5, loop=0, disposal=2)
pillow('gif-rgb-pillow.gif', RGB)
pillow('gif-interlaced-pillow.gif', PAL16, interlace=True)
ffmpeg('gif-ffmpeg.gif', [], SRC_RGB)
magick('gif-grey-im.gif', ['-type', 'Grayscale'], SRC_GREY)

# --- TIFF ---------------------------------------------------------------
for codec, im_name in (('lzw', 'LZW'), ('deflate', 'Zip')):
    magick('tiff-predictor2-%s-im.tif' % codec,
           ['-compress', im_name, '-define', 'tiff:predictor=2'])
    magick('tiff-predictor2-%s-rgba-im.tif' % codec,
           ['-compress', im_name, '-define', 'tiff:predictor=2'], SRC_RGBA)
magick('tiff-predictor2-lzw-grey-im.tif', ['-compress', 'LZW', '-define', 'tiff:predictor=2'],
       SRC_GREY)
magick('tiff-predictor2-lzw-16bit-im.tif',
       ['-compress', 'LZW', '-define', 'tiff:predictor=2'], SRC_16)
pillow('tiff-predictor2-lzw-pillow.tif', RGB, compression='tiff_lzw', tiffinfo={317: 2})
pillow('tiff-predictor2-deflate-pillow.tif', RGB, compression='tiff_adobe_deflate',
       tiffinfo={317: 2})
pillow('tiff-predictor2-packbits-pillow.tif', RGB, compression='packbits', tiffinfo={317: 2})
for n, orient in enumerate(('TopLeft', 'TopRight', 'BottomRight', 'BottomLeft', 'LeftTop',
                            'RightTop', 'RightBottom', 'LeftBottom'), 1):
    magick('tiff-g4-orient%d-im.tif' % n,
           ['-monochrome', '-compress', 'Group4', '-orient', orient])
for n in (3, 6):
    magick('tiff-rgb-orient%d-im.tif' % n, ['-orient', ('', '', '', 'BottomRight', '', '',
                                                        'RightTop')[n]])
magick('tiff-rgba16-associated-im.tif', ['-define', 'tiff:alpha=associated', '-depth', '16'],
       SRC_16)
magick('tiff-rgba16-unassociated-im.tif', ['-define', 'tiff:alpha=unassociated',
                                           '-depth', '16'], SRC_16)
magick('tiff-rgba8-associated-im.tif', ['-define', 'tiff:alpha=associated'], SRC_RGBA)
magick('tiff-grey4-alpha-im.tif', ['-type', 'GrayscaleAlpha', '-depth', '4'], SRC_RGBA)
# Sample widths libtiff's RGBA interface declines, read a row at a time.
for bits in (2, 4, 6, 10, 12):
    magick('tiff-grey%d-im.tif' % bits, ['-colorspace', 'Gray', '-type', 'Grayscale',
                                          '-depth', str(bits)])
    magick('tiff-rgb%d-im.tif' % bits, ['-type', 'TrueColor', '-depth', str(bits)])
    magick('tiff-rgb%d-planar-im.tif' % bits, ['-type', 'TrueColor', '-depth', str(bits),
                                               '-interlace', 'Plane'])
magick('tiff-rgb-float-im.tif', ['-depth', '32', '-define', 'quantum:format=floating-point'])
FLOAT = ['-depth', '32', '-define', 'quantum:format=floating-point']
magick('tiff-grey-float-im.tif', ['-colorspace', 'Gray', '-type', 'Grayscale'] + FLOAT)
magick('tiff-rgba-float-im.tif', ['-type', 'TrueColorAlpha'] + FLOAT, SRC_RGBA)
magick('tiff-rgb-half-im.tif', ['-depth', '16', '-define', 'quantum:format=floating-point'])
magick('tiff-grey-double-im.tif', ['-colorspace', 'Gray', '-type', 'Grayscale', '-depth', '64',
                                   '-define', 'quantum:format=floating-point'])
magick('tiff-rgba10-im.tif', ['-type', 'TrueColorAlpha', '-depth', '10'], SRC_RGBA)
magick('tiff-rgba10-associated-im.tif', ['-type', 'TrueColorAlpha', '-depth', '10', '-define',
                                         'tiff:alpha=associated'], SRC_RGBA)
magick('tiff-grey12-alpha-im.tif', ['-type', 'GrayscaleAlpha', '-depth', '12'], SRC_RGBA)
magick('tiff-grey10-minwhite-im.tif', ['-colorspace', 'Gray', '-type', 'Grayscale', '-depth',
                                       '10', '-define', 'quantum:polarity=min-is-white'])
magick('tiff-rgb12-lzw-im.tif', ['-type', 'TrueColor', '-depth', '12', '-compress', 'LZW'])


def tiffcp(name, args, source):
    """libtiff's tiffcp rewriting a made TIFF's layout."""
    run(name, ['tiffcp'] + args + [os.path.join(out_dir, source), target(name)])


# Bits stored least significant first; many strips; floats big-endian.
tiffcp('tiff-rgb12-lsb2msb-tiffcp.tif', ['-f', 'lsb2msb'], 'tiff-rgb12-im.tif')
tiffcp('tiff-rgb10-strips-tiffcp.tif', ['-r', '3'], 'tiff-rgb10-im.tif')
tiffcp('tiff-rgba-float-msb-tiffcp.tif', ['-B'], 'tiff-rgba-float-im.tif')
# Tiles, those at the right and bottom edges overhanging the picture
# (ImageMagick's own tiles of packed samples are scrambled).
tiffcp('tiff-rgb12-tiled-tiffcp.tif', ['-t', '-w', '16', '-l', '16'], 'tiff-rgb12-im.tif')
tiffcp('tiff-rgba-float-tiled-tiffcp.tif', ['-t', '-w', '32', '-l', '16'],
       'tiff-rgba-float-im.tif')
magick('tiff-cmyk-jpeg-im.tif', ['-alpha', 'off', '-colorspace', 'CMYK', '-depth', '16', '-compress', 'JPEG'],
       SRC_16)
magick('tiff-cmyk8-im.tif', ['-colorspace', 'CMYK'])
magick('tiff-cmyk16-im.tif', ['-alpha', 'off', '-colorspace', 'CMYK', '-depth', '16'], SRC_16)
magick('tiff-cmyk16-lzw-predictor-im.tif', ['-alpha', 'off', '-colorspace', 'CMYK', '-depth', '16', '-compress', 'LZW',
                                            '-define', 'tiff:predictor=2'], SRC_16)
magick('tiff-cmyka16-im.tif', ['-colorspace', 'CMYK', '-depth', '16'], SRC_16)
magick('tiff-planar-im.tif', ['-interlace', 'Plane'])
magick('tiff-tiled-im.tif', ['-define', 'tiff:tile-geometry=16x16'])
magick('tiff-jpeg-ycbcr-im.tif', ['-compress', 'JPEG', '-quality', '90'])
magick('tiff-palette-im.tif', ['-type', 'Palette', '-colors', '32'])
pillow('tiff-grey-pillow.tif', GREY)
pillow('tiff-rgba-deflate-pillow.tif', RGBA, compression='tiff_adobe_deflate')
ffmpeg('tiff-rgba-ffmpeg.tif', ['-pix_fmt', 'rgba'])

# --- BMP and DIB ----------------------------------------------------------
magick('bmp-rle8-im.bmp', ['-type', 'Palette', '-colors', '200', '-compress', 'RLE'])
magick_as('bmp-565-im.bmp', 'bmp', ['-define', 'bmp:subtype=RGB565'])
magick_as('bmp-555-im.bmp', 'bmp', ['-define', 'bmp:subtype=RGB555'])
magick_as('bmp-argb4444-im.bmp', 'bmp', ['-define', 'bmp:subtype=ARGB4444'], SRC_RGBA)
magick_as('bmp-argb1555-im.bmp', 'bmp', ['-define', 'bmp:subtype=ARGB1555'], SRC_RGBA)
magick_as('bmp-v5-rgba-im.bmp', 'bmp', [], SRC_RGBA)
magick_as('bmp-os2-im.bmp', 'bmp2', [])
ffmpeg('bmp-565-ffmpeg.bmp', ['-pix_fmt', 'rgb565le'])
ffmpeg('bmp-555-ffmpeg.bmp', ['-pix_fmt', 'rgb555le'])
ffmpeg('bmp-444-ffmpeg.bmp', ['-pix_fmt', 'rgb444le'])
ffmpeg('bmp-pal8-ffmpeg.bmp', ['-pix_fmt', 'pal8'])
pillow('bmp-1bit-pillow.bmp', MONO)
pillow('bmp-rgb-pillow.bmp', RGB)
pillow('dib-rgb-pillow.dib', RGB)
pillow('dib-palette-pillow.dib', PAL)


def bmp_file(width, height, bits, compression, palette, data, top_down=False):
    info = struct.pack('<IiiHHIIiiII', 40, width, -height if top_down else height, 1, bits,
                       compression, len(data), 2835, 2835, len(palette), 0)
    pal = b''.join(bytes([b, g, r, 0]) for r, g, b in palette)
    offset = 14 + len(info) + len(pal)
    return b'BM' + struct.pack('<IHHI', offset + len(data), 0, 0, offset) + info + pal + data


# RLE8 and RLE4 with the escapes encoders rarely write: absolute runs, a
# delta that jumps over pixels and an end of line early; the pixels skipped
# are left transparent by other readers.
pal = [tuple(PAL16.getpalette()[i * 3:i * 3 + 3]) for i in range(16)]
idx = PAL16.load()
rle8, rle4 = b'', b''
for y in range(H - 1, -1, -1):
    row8, row4 = b'', b''
    x = 0
    if y % 9 == 4:  # a delta: skip 5 pixels right and stay on this row
        row8 += bytes([0, 2, 5, 0])
        row4 += bytes([0, 2, 5, 0])
        x = 5
    while x < W:
        if y % 7 == 3 and x > 50:  # end of line early
            break
        n = min(8, W - x)
        if x % 16 < 8 and n >= 3:  # absolute mode
            vals = [idx[x + i, y] for i in range(n)]
            row8 += bytes([0, n]) + bytes(vals) + (b'\x00' if n % 2 else b'')
            packed = bytes((vals[i] << 4) | (vals[i + 1] if i + 1 < n else 0)
                           for i in range(0, n, 2))
            row4 += bytes([0, n]) + packed + (b'\x00' if len(packed) % 2 else b'')
        else:  # encoded run of two alternating indices
            a, b = idx[x, y], idx[min(x + 1, W - 1), y]
            row8 += bytes([n, a])
            row4 += bytes([n, (a << 4) | b])
        x += n
    rle8 += row8 + b'\x00\x00'
    rle4 += row4 + b'\x00\x00'
rle8 = rle8[:-2] + b'\x00\x01'
rle4 = rle4[:-2] + b'\x00\x01'
hand('bmp-rle8-delta-hand.bmp', bmp_file(W, H, 8, 1, pal, rle8))
hand('bmp-rle4-delta-hand.bmp', bmp_file(W, H, 4, 2, pal, rle4))

# --- PCX ----------------------------------------------------------------
pillow('pcx-1bit-pillow.pcx', MONO)
pillow('pcx-rgb-pillow.pcx', RGB)
pillow('pcx-palette-pillow.pcx', PAL)
ffmpeg('pcx-1bit-ffmpeg.pcx', ['-pix_fmt', 'monob'], SRC_GREY)
ffmpeg('pcx-rgb-ffmpeg.pcx', ['-pix_fmt', 'rgb24'], SRC_RGB)
magick('pcx-16-colour-im.pcx', ['-type', 'Palette', '-colors', '16'])
magick('pcx-mono-im.pcx', ['-monochrome'])

# 4 planes of one bit (EGA): written by hand.
def pcx_planes(image16):
    bpl = (W + 15) // 16 * 2
    header = struct.pack('<BBBBHHHHHH', 10, 5, 1, 1, 0, 0, W - 1, H - 1, 72, 72)
    pal = image16.getpalette()[:48]
    header += bytes(pal) + b'\x00' + bytes([4]) + struct.pack('<HH', bpl, 1) + b'\x00' * 58
    px16 = image16.load()
    body = b''
    for y in range(H):
        for plane in range(4):
            bits = bytearray(bpl)
            for x in range(W):
                if (px16[x, y] >> plane) & 1:
                    bits[x // 8] |= 0x80 >> (x % 8)
            for v in bits:  # run-length: a count byte whenever needed
                body += bytes([0xC1, v]) if v >= 0xC0 else bytes([v])
    return header + body


hand('pcx-4plane-hand.pcx', pcx_planes(PAL16))

# --- DDS ----------------------------------------------------------------
magick('dds-dxt1-im.dds', ['-define', 'dds:compression=dxt1', '-define', 'dds:mipmaps=0'])
magick('dds-dxt5-im.dds', ['-define', 'dds:compression=dxt5', '-define', 'dds:mipmaps=0'],
       SRC_RGBA)
magick('dds-dxt3-im.dds', ['-define', 'dds:compression=dxt3', '-define', 'dds:mipmaps=0'],
       SRC_RGBA)
magick('dds-rgba-im.dds', ['-define', 'dds:compression=none', '-define', 'dds:mipmaps=0'],
       SRC_RGBA)


def dds_blocks(image, code):
    """ImageMagick's DXT5 blocks of image (the only ones it writes: asked
    for DXT3 it writes DXT5 too) under another code; DXT2 and DXT3 with the
    alpha half made explicit 4-bit alpha."""
    source = os.path.join(scratch, 'blocks.png')
    coded = os.path.join(scratch, 'blocks.dds')
    image.save(source)
    subprocess.run(['convert', source, '-define', 'dds:compression=dxt5', '-define',
                    'dds:mipmaps=0', coded], check=True)
    data = bytearray(open(coded, 'rb').read())
    assert data[84:88] == b'DXT5'
    data[84:88] = code
    if code in (b'DXT2', b'DXT3'):
        alpha = image.getchannel('A').load()
        at = 128
        for by in range((H + 3) // 4):
            for bx in range((W + 3) // 4):
                nibbles = [(alpha[min(bx * 4 + i % 4, W - 1), min(by * 4 + i // 4, H - 1)] * 15 +
                            127) // 255 for i in range(16)]
                data[at:at + 8] = bytes(nibbles[i] | nibbles[i + 1] << 4 for i in range(0, 16, 2))
                at += 16
    return bytes(data)


# DXT3 of its own (ImageMagick's -im file is DXT5), and DXT2 and DXT4: DXT3
# and DXT5 whose colours are stored multiplied by alpha.
PREMULTIPLIED = Image.new('RGBA', (W, H))
PREMULTIPLIED.putdata([(r * a // 255, g * a // 255, b * a // 255, a) for r, g, b, a in RGBA.getdata()])
hand('dds-dxt3-hand.dds', dds_blocks(RGBA, b'DXT3'))
hand('dds-dxt2-hand.dds', dds_blocks(PREMULTIPLIED, b'DXT2'))
hand('dds-dxt4-hand.dds', dds_blocks(PREMULTIPLIED, b'DXT4'))
pillow('dds-rgba-pillow.dds', RGBA)
pillow('dds-rgb-pillow.dds', RGB)


def dds_uncompressed(image, masks, bits=32, kind=0x40):
    r, g, b, a = masks
    flags = kind | (0x1 if a and kind != 0x2 else 0)
    pf = struct.pack('<II4sIIIII', 32, flags, b'\0\0\0\0', bits, r, g, b, a)
    header = struct.pack('<4sIIIIIII', b'DDS ', 124, 0x100F, H, W, W * bits // 8, 0, 1)
    header += b'\0' * 44 + pf + struct.pack('<IIIII', 0x1000, 0, 0, 0, 0)
    body = b''
    for p in image.getdata():
        v = 0
        for value, mask in zip(p, masks):
            if mask:
                shift = (mask & -mask).bit_length() - 1
                v |= value << shift
        body += struct.pack('<I', v)[:bits // 8]
    return header + body


def dds_palette(image):
    """8-bit indices into 256 red, green, blue, alpha entries."""
    quantised = image.convert('RGB').quantize(256)
    entries = quantised.getpalette()[:768]
    entries += [0] * (768 - len(entries))
    pf = struct.pack('<II4sIIIII', 32, 0x20, b'\0\0\0\0', 8, 0, 0, 0, 0)
    header = struct.pack('<4sIIIIIII', b'DDS ', 124, 0x100F, H, W, W, 0, 1)
    header += b'\0' * 44 + pf + struct.pack('<IIIII', 0x1000, 0, 0, 0, 0)
    palette = b''.join(bytes(entries[i * 3:i * 3 + 3]) + b'\xff' for i in range(256))
    return header + palette + bytes(quantised.getdata())


# Red in the low byte, alpha in the high one (A8B8G8R8), as many tools write.
hand('dds-abgr-hand.dds', dds_uncompressed(RGBA, (0xFF, 0xFF00, 0xFF0000, 0xFF000000)))
hand('dds-argb-hand.dds', dds_uncompressed(RGBA, (0xFF0000, 0xFF00, 0xFF, 0xFF000000)))
# Luminance, luminance with alpha, alpha alone and a palette, as Direct3D
# tools write them (ImageMagick 6 reads only the first; Pillow writes its
# grey files with a 24-bit count over 8-bit pixels).
hand('dds-l8-hand.dds', dds_uncompressed(GREY.convert('RGBA'), (0xFF, 0, 0, 0), 8, 0x20000))
hand('dds-l8a8-hand.dds',
     dds_uncompressed(Image.merge('RGBA', (GREY, GREY, GREY, RGBA.getchannel('A'))),
                      (0xFF, 0, 0, 0xFF00), 16, 0x20000))
hand('dds-a8-hand.dds', dds_uncompressed(RGBA, (0, 0, 0, 0xFF), 8, 0x2))
hand('dds-palette-hand.dds', dds_palette(RGB))

# --- PAM and the other Netpbm formats -------------------------------------
magick_as('pam-grey-im.pam', 'pam', ['-type', 'Grayscale'], SRC_GREY)
magick_as('pam-grey-alpha-im.pam', 'pam', ['-type', 'GrayscaleAlpha'], SRC_RGBA)
magick_as('pam-rgb-im.pam', 'pam', ['-type', 'TrueColor'])
magick_as('pam-rgba-im.pam', 'pam', ['-type', 'TrueColorAlpha'], SRC_RGBA)
ffmpeg('pam-rgba-ffmpeg.pam', ['-pix_fmt', 'rgba'])
ffmpeg('pam-rgba64-ffmpeg.pam', ['-pix_fmt', 'rgba64be'], SRC_16)
magick_as('pnm-p1-plain-im.pbm', 'pbm', ['-monochrome', '-compress', 'none'])
magick_as('pnm-p2-plain-im.pgm', 'pgm', ['-compress', 'none'], SRC_GREY)
magick_as('pnm-p3-plain-im.ppm', 'ppm', ['-compress', 'none'])
magick_as('pnm-p6-16bit-im.ppm', 'ppm', ['-depth', '16'], SRC_16)
pillow('pnm-p4-pillow.pbm', MONO)
pillow('pnm-p5-pillow.pgm', GREY)
ffmpeg('pfm-ffmpeg.pfm', ['-pix_fmt', 'gbrpf32le'], SRC_RGB)

# --- QOI ----------------------------------------------------------------
ffmpeg('qoi-rgb-ffmpeg.qoi', ['-pix_fmt', 'rgb24'], SRC_RGB)
ffmpeg('qoi-rgba-ffmpeg.qoi', ['-pix_fmt', 'rgba'])

# --- ICO and CUR ----------------------------------------------------------
magick_as('ico-sizes-im.ico', 'ico', ['-define', 'icon:auto-resize=48,32,16'], SRC_RGBA)
magick_as('ico-rgb-im.ico', 'ico', ['-resize', '32x32!'])
pillow('ico-png-pillow.ico', RGBA, sizes=[(48, 48), (16, 16)])
magick_as('cur-rgba-im.cur', 'cur', ['-resize', '32x32!'], SRC_RGBA)


def icon_entry_bmp(image, bits):
    """A BMP-in-icon: the picture, then the 1-bit AND mask."""
    w, h = image.size
    info = struct.pack('<IiiHHIIiiII', 40, w, h * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    data = b''
    px_ = image.load()
    if bits == 1:
        palette = b'\x00\x00\x00\x00\xff\xff\xff\x00'
        stride = (w + 31) // 32 * 4
        for y in range(h - 1, -1, -1):
            row = bytearray(stride)
            for x in range(w):
                if px_[x, y][0] > 110:
                    row[x // 8] |= 0x80 >> (x % 8)
            data += row
    else:  # 8-bit grey
        palette = b''.join(bytes([i, i, i, 0]) for i in range(256))
        stride = (w + 3) // 4 * 4
        for y in range(h - 1, -1, -1):
            row = bytes(px_[x, y][0] for x in range(w))
            data += row + b'\x00' * (stride - w)
    mask_stride = (w + 31) // 32 * 4
    mask = b''
    for y in range(h - 1, -1, -1):
        row = bytearray(mask_stride)
        for x in range(w):
            if px_[x, y][3] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    return info + palette + data + mask


def icon_file(kind, image, bits, hotspot=(3, 5)):
    body = icon_entry_bmp(image, bits)
    w, h = image.size
    planes, count = (hotspot if kind == 2 else (1, bits))
    entry = struct.pack('<BBBBHHII', w % 256, h % 256, 0 if bits > 4 else 1 << bits, 0,
                        planes, count, len(body), 22)
    return struct.pack('<HHH', 0, kind, 1) + entry + body


icon = RGBA.resize((32, 32)).convert('RGBA')
grey_icon = Image.merge('RGBA', (icon.convert('L'),) * 3 + (icon.getchannel('A'),))
hand('cur-1bit-mask-hand.cur', icon_file(2, grey_icon, 1))
hand('cur-grey-mask-hand.cur', icon_file(2, grey_icon, 8))
hand('ico-1bit-mask-hand.ico', icon_file(1, grey_icon, 1))

# --- PSD ----------------------------------------------------------------
magick('psd-indexed-im.psd', ['-type', 'Palette', '-colors', '64'])
magick('psd-rgba-im.psd', [], SRC_RGBA)
magick('psd-grey-im.psd', ['-type', 'Grayscale'], SRC_GREY)
magick('psd-cmyk-im.psd', ['-colorspace', 'CMYK'])
magick('psd-rgb16-im.psd', ['-alpha', 'off', '-depth', '16'], SRC_16)

# --- SGI, XBM, XPM ---------------------------------------------------------
pillow('sgi-rgb-pillow.sgi', RGB)
ffmpeg('sgi-rgba-ffmpeg.sgi', ['-pix_fmt', 'rgba'])
magick_as('sgi-rle-im.sgi', 'sgi', ['-compress', 'RLE'])
magick_as('xbm-im.xbm', 'xbm', ['-monochrome'])
magick_as('xpm-im.xpm', 'xpm', ['-colors', '32'])

# --- JPEG ---------------------------------------------------------------
SRC_PPM = os.path.join(scratch, 'rgb.ppm')
RGB.save(SRC_PPM)


def cjpeg(name, args):
    path = target(name)
    run(name, ['cjpeg'] + args + ['-outfile', path, SRC_PPM])


cjpeg('jpeg-baseline-cjpeg.jpg', [])
cjpeg('jpeg-progressive-cjpeg.jpg', ['-progressive'])
cjpeg('jpeg-arithmetic-cjpeg.jpg', ['-arithmetic'])
cjpeg('jpeg-444-cjpeg.jpg', ['-sample', '1x1'])
cjpeg('jpeg-grey-cjpeg.jpg', ['-grayscale'])
cjpeg('jpeg-restart-cjpeg.jpg', ['-restart', '1'])
magick('jpeg-cmyk-im.jpg', ['-colorspace', 'CMYK'])
ffmpeg('jpeg-ffmpeg.jpg', ['-pix_fmt', 'yuvj420p'], SRC_RGB)
for n in range(2, 9):
    exif = Image.Exif()
    exif[0x0112] = n
    pillow('jpeg-exif-orient%d-pillow.jpg' % n, RGB, exif=exif, quality=92)

# A damaged EXIF block: its first directory points past the block's end.
buf = io.BytesIO()
RGB.save(buf, 'JPEG', quality=90)
jpeg = buf.getvalue()
tiff = b'II*\x00' + struct.pack('<I', 0x7FFF0000) + b'\x00' * 8
app1 = b'Exif\x00\x00' + tiff
hand('jpeg-damaged-exif-hand.jpg',
     jpeg[:2] + b'\xff\xe1' + struct.pack('>H', len(app1) + 2) + app1 + jpeg[2:])

# The EXIF block after a comment segment, as some cameras and editors write.
exif = Image.Exif()
exif[0x0112] = 6
buf = io.BytesIO()
RGB.save(buf, 'JPEG', quality=90, exif=exif)
jpeg = buf.getvalue()
comment = b'made by hand'
hand('jpeg-exif-after-comment-hand.jpg',
     jpeg[:2] + b'\xff\xfe' + struct.pack('>H', len(comment) + 2) + comment + jpeg[2:])

# 12-bit and lossless JPEG, which libjpeg-turbo 2.1 does not decode: dcmtk's
# own IJG-based codec writes them into DICOM files (dcmcjpeg), from which
# the JPEG stream is taken whole (pydicom). Samples carry detail below the
# 8-bit levels, so a reader that drops the low bits early shows it.
def dicom_source(path, image, bits):
    try:
        import pydicom
        from pydicom.dataset import FileDataset, FileMetaDataset
        from pydicom.uid import ExplicitVRLittleEndian, SecondaryCaptureImageStorage, generate_uid
    except ImportError:
        return False
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = SecondaryCaptureImageStorage
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = FileDataset(None, {}, file_meta=meta, preamble=b'\0' * 128)
    ds.SOPClassUID = meta.MediaStorageSOPClassUID
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.StudyInstanceUID = generate_uid()
    ds.SeriesInstanceUID = generate_uid()
    ds.Modality = 'OT'
    ds.Rows, ds.Columns = image.height, image.width
    colour = image.mode == 'RGB'
    ds.SamplesPerPixel = 3 if colour else 1
    ds.PhotometricInterpretation = 'RGB' if colour else 'MONOCHROME2'
    if colour:
        ds.PlanarConfiguration = 0
    ds.BitsAllocated = 8 if bits == 8 else 16
    ds.BitsStored = bits
    ds.HighBit = bits - 1
    ds.PixelRepresentation = 0
    samples = []
    for i, v in enumerate(image.getdata()):
        x, y = i % image.width, i // image.width
        for c in (v if colour else (v,)):
            samples.append(c if bits == 8 else (c << (bits - 8)) | ((x * 3 + y) % (1 << (bits - 8))))
    ds.PixelData = bytes(samples) if bits == 8 else struct.pack('<%dH' % len(samples), *samples)
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(path, write_like_original=False)
    return True


def dcmtk(name, image, bits, args):
    path = target(name)
    source = os.path.join(scratch, 'in.dcm')
    coded = os.path.join(scratch, 'coded.dcm')
    if not dicom_source(source, image, bits):
        note(name, 'pydicom missing')
        return
    run(name, ['dcmcjpeg'] + args + [source, coded])
    if name not in made:
        return
    import pydicom
    from pydicom.encaps import generate_pixel_data_frame
    stream = next(generate_pixel_data_frame(pydicom.dcmread(coded).PixelData))
    if not stream.endswith(b'\xff\xd9'):  # DICOM pads fragments to even lengths
        stream = stream[:-1]
    with open(path, 'wb') as f:
        f.write(stream)


dcmtk('jpeg-12bit-grey-dcmtk.jpg', GREY, 12, ['+ee'])
dcmtk('jpeg-12bit-ycc-dcmtk.jpg', RGB, 12, ['+ee'])
dcmtk('jpeg-12bit-progressive-dcmtk.jpg', RGB, 12, ['+ep'])
dcmtk('jpeg-12bit-rgb-dcmtk.jpg', RGB, 12, ['+ee', '+cr'])
dcmtk('jpeg-lossless-grey-dcmtk.jpg', GREY, 8, ['+el'])
dcmtk('jpeg-lossless-rgb-dcmtk.jpg', RGB, 8, ['+el'])
dcmtk('jpeg-lossless-16bit-dcmtk.jpg', GREY, 16, ['+el'])

# --- JPEG 2000 ----------------------------------------------------------
def opj(name, args, source):
    path = target(name)
    run(name, ['opj_compress', '-i', source, '-o', path] + args)


SRC_RGBA_TIF = os.path.join(scratch, 'rgba.tif')
SRC_16_TIF = os.path.join(scratch, 'rgb16.tif')
RGBA.save(SRC_RGBA_TIF)
subprocess.run(['convert', SRC_16, '-alpha', 'off', SRC_16_TIF], check=True)
opj('jp2-rgb-lossless-opj.jp2', [], SRC_PPM)
opj('jp2-rgb-lossy-opj.jp2', ['-r', '20'], SRC_PPM)
opj('j2k-rgb-opj.j2k', [], SRC_PPM)
opj('jp2-rgba-opj.jp2', [], SRC_RGBA_TIF)
opj('jp2-rgb16-opj.jp2', [], SRC_16_TIF)
magick_as('jp2-grey-im.jp2', 'jp2', ['-type', 'Grayscale'], SRC_GREY)
magick_as('jp2-cmyk-im.jp2', 'jp2', ['-colorspace', 'CMYK'])
pillow('j2k-rgb-pillow.j2k', RGB)


def jp2_cmyk(name, depth):
    """ImageMagick's inks coded by opj_compress as four components, the
    colour box saying CMYK (enumerated colour space 12): no writer here
    makes one (ImageMagick's jp2-cmyk-im.jp2 is RGB)."""
    path = target(name)
    inks = os.path.join(scratch, 'inks.cmyk')
    planes = os.path.join(scratch, 'inks.raw')
    coded = os.path.join(scratch, 'inks.jp2')
    subprocess.run(['convert', SRC_16 if depth == 16 else SRC_RGB, '-alpha', 'off', '-colorspace',
                    'CMYK', '-depth', str(depth), '-endian', 'MSB', 'cmyk:' + inks], check=True)
    data = open(inks, 'rb').read()
    n = depth // 8
    with open(planes, 'wb') as f:
        for c in range(4):
            f.write(b''.join(data[(i * 4 + c) * n:(i * 4 + c + 1) * n] for i in range(W * H)))
    run(name, ['opj_compress', '-i', planes, '-o', coded, '-F', '%d,%d,4,%d,u' % (W, H, depth)])
    if name not in made:
        return
    jp2 = bytearray(open(coded, 'rb').read())
    at = jp2.index(b'colr')
    assert jp2[at + 4:at + 11] == bytes([1, 0, 0, 0, 0, 0, 16])
    jp2[at + 10] = 12
    with open(path, 'wb') as f:
        f.write(jp2)


jp2_cmyk('jp2-cmyk8-hand.jp2', 8)
jp2_cmyk('jp2-cmyk16-hand.jp2', 16)

# --- WebP ---------------------------------------------------------------
def tool(name, command):
    path = target(name)
    run(name, [c.replace('OUT', path) for c in command])


tool('webp-lossy-cwebp.webp', ['cwebp', '-quiet', '-q', '80', SRC_RGB, '-o', 'OUT'])
tool('webp-lossless-alpha-cwebp.webp', ['cwebp', '-quiet', '-lossless', '-exact', SRC_RGBA,
                                        '-o', 'OUT'])
tool('webp-lossy-alpha-cwebp.webp', ['cwebp', '-quiet', '-q', '80', SRC_RGBA, '-o', 'OUT'])
pillow('webp-animated-pillow.webp', RGB, save_all=True,
       append_images=[RGB.transpose(Image.Transpose.FLIP_LEFT_RIGHT)], lossless=True)

# --- HEIF and AVIF --------------------------------------------------------
tool('heic-8bit-heifenc.heic', ['heif-enc', '-q', '80', SRC_RGB, '-o', 'OUT'])
tool('heic-alpha-heifenc.heic', ['heif-enc', '-q', '80', SRC_RGBA, '-o', 'OUT'])
tool('heic-10bit-heifenc.heic', ['heif-enc', '-q', '80', '-b', '10', SRC_16, '-o', 'OUT'])
tool('heic-thumbnail-heifenc.heic', ['heif-enc', '-q', '80', '-t', '32', SRC_RGB, '-o', 'OUT'])
tool('heic-alpha-thumbnail-heifenc.heic',
     ['heif-enc', '-q', '80', '-t', '32', SRC_RGBA, '-o', 'OUT'])
tool('heic-444-heifenc.heic', ['heif-enc', '-q', '90', '-p', 'chroma=444', SRC_RGB, '-o', 'OUT'])
tool('heic-422-heifenc.heic', ['heif-enc', '-q', '90', '-p', 'chroma=422', SRC_RGB, '-o', 'OUT'])
tool('heic-lossless-heifenc.heic', ['heif-enc', '-L', '-p', 'chroma=444', '--matrix_coefficients=0',
                                    SRC_RGB, '-o', 'OUT'])
tool('heic-grey-heifenc.heic', ['heif-enc', '-q', '80', SRC_GREY, '-o', 'OUT'])
# heif-enc copies a JPEG's Exif block (its orientation is not the picture's:
# HEIF turns by irot alone) and a PNG's ICC profile. (heif-enc 1.15 writes no
# nclx box whatever its options say: the phone grid below carries one.)
SRC_ICC = os.path.join(scratch, 'icc.png')
icc = bytearray(ImageCms.ImageCmsProfile(ImageCms.createProfile('sRGB')).tobytes())
# Made the same on every run: lcms stamps the profile with the time (bytes
# 24 to 35) and its checksum (84 to 99; zeros say there is none).
icc[24:36] = struct.pack('>6H', 2024, 1, 1, 0, 0, 0)
icc[84:100] = bytes(16)
RGB.save(SRC_ICC, icc_profile=bytes(icc))
exif = Image.Exif()
exif[0x0112] = 6
exif[0x010F] = 'Pellara'
SRC_EXIF = os.path.join(scratch, 'exif6.jpg')
RGB.save(SRC_EXIF, exif=exif, quality=95)
tool('heic-exif-orient6-heifenc.heic', ['heif-enc', '-q', '80', SRC_EXIF, '-o', 'OUT'])
tool('heic-icc-heifenc.heic', ['heif-enc', '-q', '80', SRC_ICC, '-o', 'OUT'])
SRC_FLOP = os.path.join(scratch, 'flop.png')
RGB.transpose(Image.Transpose.FLIP_LEFT_RIGHT).save(SRC_FLOP)
tool('heic-two-images-heifenc.heic', ['heif-enc', '-q', '80', SRC_RGB, SRC_FLOP, '-o', 'OUT'])


# What heif-enc cannot write, put together by hand from the HEVC pictures it
# encodes (x265 codes 64 x 64 blocks: heif-enc's own files hold one 64 x 64
# multiple under a 1 x 1 grid).
def isobmff_boxes(data, at=0, end=None):
    """(type, body start, end) of each box in data[at:end]."""
    end = len(data) if end is None else end
    while at + 8 <= end:
        size, kind = struct.unpack('>I4s', data[at:at + 8])
        head = 8
        if size == 1:
            size, head = struct.unpack('>Q', data[at + 8:at + 16])[0], 16
        elif size == 0:
            size = end - at
        yield kind, at + head, at + size
        at += size


def box(kind, body, version=None, flags=0):
    if version is not None:
        body = struct.pack('>I', version << 24 | flags) + body
    return struct.pack('>I4s', 8 + len(body), kind) + body


def heif_coded_item(path):
    """The HEVC picture heif-enc wrote in path (the tile of its 1 x 1 grid
    when it made one): (hvcC box, width, height, coded data)."""
    data = open(path, 'rb').read()
    meta = next(b for b in isobmff_boxes(data) if b[0] == b'meta')
    parts = {k: (s, e) for k, s, e in isobmff_boxes(data, meta[1] + 4, meta[2])}
    s, e = parts[b'iinf']
    first = s + (6 if data[s] == 0 else 8)
    coded = []
    for kind, bs, be in isobmff_boxes(data, first, e):
        if data[bs + 8:bs + 12] == b'hvc1':  # infe version 2
            coded.append(struct.unpack('>H', data[bs + 4:bs + 6])[0])
    assert len(coded) == 1, 'one coded picture expected'
    item = coded[0]
    s, e = parts[b'iprp']
    ipco = next(b for b in isobmff_boxes(data, s, e) if b[0] == b'ipco')
    ipma = next(b for b in isobmff_boxes(data, s, e) if b[0] == b'ipma')
    props = [data[bs - 8:be] for _, bs, be in isobmff_boxes(data, ipco[1], ipco[2])]
    at = ipma[1] + 4
    mine = []
    for _ in range(struct.unpack('>I', data[at:at + 4])[0]):
        iid, n = struct.unpack('>HB', data[at + 4:at + 7])
        at += 7
        idx = [data[at + i] & 0x7F for i in range(n)]
        at += n
        if iid == item:
            mine = [props[i - 1] for i in idx]
    hvcc = next(p for p in mine if p[4:8] == b'hvcC')
    ispe = next(p for p in mine if p[4:8] == b'ispe')
    w, h = struct.unpack('>II', ispe[12:20])
    s, e = parts[b'iloc']
    version = data[s]
    sizes = data[s + 4] << 8 | data[s + 5]
    off_b, len_b, base_b = sizes >> 12, (sizes >> 8) & 15, (sizes >> 4) & 15
    idx_b = sizes & 15 if version else 0
    at = s + 6
    count = struct.unpack('>H', data[at:at + 2])[0]
    at += 2
    rd = lambda n: (int.from_bytes(data[at:at + n], 'big') if n else 0)
    for _ in range(count):
        iid = rd(2); at += 2
        if version:
            at += 2
        at += 2  # data reference index
        base = rd(base_b); at += base_b
        extents = rd(2); at += 2
        chunks = b''
        for _ in range(extents):
            at += idx_b
            off = rd(off_b); at += off_b
            ln = rd(len_b); at += len_b
            chunks += data[base + off:base + off + ln]
        if iid == item:
            return hvcc, w, h, chunks
    raise ValueError('no location for the coded picture')


def heif_file(items, primary, refs, props, assoc):
    """A HEIF file: items are (id, type, hidden, bytes, in_idat); refs
    (type, from, [to]); props the ipco boxes; assoc {id: [(1-based property,
    essential)]}. Coded data goes to mdat, derived items' data to idat."""
    def meta(mdat_at):
        idat, mdat = b'', b''
        locs = []
        for iid, _, _, payload, in_idat in items:
            if payload is None:  # a derived item without data ('iden')
                continue
            if in_idat:
                locs.append((iid, 1, len(idat), len(payload)))
                idat += payload
            else:
                locs.append((iid, 0, mdat_at + len(mdat), len(payload)))
                mdat += payload
        iloc = struct.pack('>BBH', 0x44, 0x00, len(locs))
        for iid, method, off, ln in locs:
            iloc += struct.pack('>HHHHII', iid, method, 0, 1, off, ln)
        infe = b''.join(box(b'infe', struct.pack('>HH4s', iid, 0, kind) + b'\0', 2, int(hidden))
                        for iid, kind, hidden, _, _ in items)
        iref = b''.join(box(kind, struct.pack('>HH', src, len(to)) + b''.join(
            struct.pack('>H', t) for t in to)) for kind, src, to in refs)
        ipma = struct.pack('>I', len(assoc))
        for iid in sorted(assoc):
            ipma += struct.pack('>HB', iid, len(assoc[iid])) + bytes(
                (0x80 if essential else 0) | index for index, essential in assoc[iid])
        body = (box(b'hdlr', struct.pack('>I4s12x', 0, b'pict') + b'\0', 0) +
                box(b'pitm', struct.pack('>H', primary), 0) +
                box(b'iinf', struct.pack('>H', len(items)) + infe, 0) +
                box(b'iref', iref, 0) +
                box(b'iprp', box(b'ipco', b''.join(props)) + box(b'ipma', ipma, 0)) +
                box(b'iloc', iloc, 1) + box(b'idat', idat))
        return box(b'meta', body, 0), mdat
    ftyp = box(b'ftyp', b'heic' + struct.pack('>I', 0) + b'mif1heicmiaf')
    first, _ = meta(0)
    m, mdat = meta(len(ftyp) + len(first) + 8)
    return ftyp + m + box(b'mdat', mdat)


def ispe(w, h):
    return box(b'ispe', struct.pack('>II', w, h), 0)


def heif_encode(image, name, extra=()):
    src = os.path.join(scratch, 'heif-' + name + '.png')
    out = os.path.join(scratch, 'heif-' + name + '.heic')
    image.save(src)
    subprocess.run(['heif-enc', '-q', '85'] + list(extra) + [src, '-o', out], check=True,
                   stdout=subprocess.DEVNULL)
    return heif_coded_item(out)


def heif_grid(picture, tile=64, rotation=None, exif=None, thumbnail=True, depth=None,
              nclx=None):
    """A camera's HEIC: the picture in tiles of tile x tile (the last row and
    column overhanging it, their spare pixels magenta), a grid of them, a
    thumbnail, optionally a rotation, an Exif block and a depth map."""
    w, h = picture.size
    cols, rows = -(-w // tile), -(-h // tile)
    canvas = Image.new('RGB', (cols * tile, rows * tile), (255, 0, 255))
    canvas.paste(picture, (0, 0))
    props, assoc, items, refs = [], {}, [], []
    def prop(b):
        if b not in props:
            props.append(b)
        return props.index(b) + 1
    colr = [prop(box(b'colr', b'nclx' + struct.pack('>HHHB', *nclx)))] if nclx else []
    tiles = []
    for r in range(rows):
        for c in range(cols):
            hvcc, tw, th, coded = heif_encode(canvas.crop((c * tile, r * tile, (c + 1) * tile,
                                                           (r + 1) * tile)), 'tile%d-%d' % (r, c))
            assert (tw, th) == (tile, tile)
            iid = 1 + len(tiles)
            tiles.append(iid)
            items.append((iid, b'hvc1', True, coded, False))
            assoc[iid] = [(prop(hvcc), True), (prop(ispe(tw, th)), False)]
            assoc[iid] += [(i, True) for i in colr]
    grid = len(items) + 1
    grid_data = struct.pack('>BBBBHH', 0, 0, rows - 1, cols - 1, w, h)
    items.append((grid, b'grid', False, grid_data, True))
    refs.append((b'dimg', grid, tiles))
    assoc[grid] = [(prop(ispe(w, h)), False)] + [(i, True) for i in colr]
    if rotation is not None:
        assoc[grid].append((prop(box(b'irot', bytes([rotation]))), True))
    next_id = grid + 1
    if thumbnail:
        hvcc, tw, th, coded = heif_encode(picture.resize((64, 64)), 'thumb')
        items.append((next_id, b'hvc1', False, coded, False))
        assoc[next_id] = [(prop(hvcc), True), (prop(ispe(tw, th)), False)]
        if rotation is not None:
            assoc[next_id].append((prop(box(b'irot', bytes([rotation]))), True))
        refs.append((b'thmb', next_id, [grid]))
        next_id += 1
    if depth is not None:
        hvcc, dw, dh, coded = heif_encode(depth, 'depth')
        items.append((next_id, b'hvc1', True, coded, False))
        assoc[next_id] = [(prop(hvcc), True), (prop(ispe(dw, dh)), False),
                          (prop(box(b'auxC', b'urn:mpeg:hevc:2015:auxid:2\0', 0)), True)]
        refs.append((b'auxl', next_id, [grid]))
        next_id += 1
    if exif is not None:
        items.append((next_id, b'Exif', False, struct.pack('>I', 6) + exif, False))
        refs.append((b'cdsc', next_id, [grid]))
        next_id += 1
    return heif_file(items, grid, refs, props, assoc)


def heif_derived(picture, kind):
    """One coded picture under an 'iden' item turned a quarter (irot), or an
    'iovl' overlay of two copies of it on a grey canvas, overlapping."""
    hvcc, w, h, coded = heif_encode(picture, 'coded')
    props = [hvcc, box(b'ispe', struct.pack('>II', w, h), 0)]
    items = [(1, b'hvc1', True, coded, False)]
    assoc = {1: [(1, True), (2, False)]}
    if kind == 'iden':
        props += [box(b'ispe', struct.pack('>II', w, h), 0), box(b'irot', b'\x01')]
        items.append((2, b'iden', False, b'', True))
        assoc[2] = [(3, False), (4, True)]
        return heif_file(items, 2, [(b'dimg', 2, [1])], props, assoc)
    cw, ch = w + 40, h + 24
    overlay = struct.pack('>BBHHHHHH', 0, 0, 32768, 32768, 32768, 65535, cw, ch)
    overlay += struct.pack('>hhhh', 4, 3, 36, 20)
    props.append(box(b'ispe', struct.pack('>II', cw, ch), 0))
    items.append((2, b'iovl', False, overlay, True))
    assoc[2] = [(3, False)]
    return heif_file(items, 2, [(b'dimg', 2, [1, 1])], props, assoc)


# A phone's photo: a 2 x 2 grid of 64 x 64 tiles over 120 x 100 (the last
# column and row overhang by 8 and 28 pixels, magenta there), one hvcC for
# every tile; with a thumbnail, an nclx profile, a quarter turn (irot 3) and
# an Exif block that says orientation 6 (the same turn, not to be applied
# again); a grid with a depth map (an auxiliary picture); an 'iden' item
# turning a coded picture; an overlay of two copies on a grey canvas.
BIG = RGB.resize((120, 100), Image.BICUBIC)
hand('heic-grid-hand.heic', heif_grid(BIG, thumbnail=False))
hand('heic-grid-phone-hand.heic', heif_grid(BIG, rotation=3, exif=exif.tobytes(),
                                            nclx=(1, 13, 6, 0x80)))
hand('heic-grid-depth-hand.heic', heif_grid(BIG, depth=BIG.convert('L').resize((64, 64))))
hand('heic-iden-irot-hand.heic', heif_derived(RGB.resize((128, 64)), 'iden'))
hand('heic-overlay-hand.heic', heif_derived(RGB.resize((64, 64)), 'iovl'))
tool('avif-8bit-avifenc.avif', ['avifenc', '--min', '10', '--max', '20', SRC_RGB, 'OUT'])
tool('avif-10bit-avifenc.avif', ['avifenc', '--min', '10', '--max', '20', '-d', '10', SRC_16, 'OUT'])
tool('avif-12bit-avifenc.avif', ['avifenc', '--min', '10', '--max', '20', '-d', '12', SRC_16, 'OUT'])
tool('avif-12bit-444-avifenc.avif', ['avifenc', '--min', '4', '--max', '10', '-d', '12', '-y', '444', SRC_16,
                                     'OUT'])
tool('avif-alpha-avifenc.avif', ['avifenc', '--min', '10', '--max', '20', SRC_RGBA, 'OUT'])
tool('avif-rotate-avifenc.avif', ['avifenc', '--min', '10', '--max', '20', '--irot', '1', '--imir', '0', SRC_RGB,
                                  'OUT'])
tool('avif-heifenc.avif', ['heif-enc', '-A', '-q', '80', SRC_RGB, '-o', 'OUT'])

# --- JPEG XL --------------------------------------------------------------
tool('jxl-lossless-cjxl.jxl', ['cjxl', '--quiet', '-d', '0', SRC_RGBA, 'OUT'])
tool('jxl-lossy-cjxl.jxl', ['cjxl', '--quiet', '-d', '1', SRC_RGB, 'OUT'])

# --- OpenEXR ----------------------------------------------------------------
magick('exr-rgba-im.exr', [], SRC_RGBA)
ffmpeg('exr-rgb-ffmpeg.exr', ['-pix_fmt', 'gbrpf32le'], SRC_RGB)
# Half samples by ImageMagick (uncompressed unless told), float by FFmpeg.
EXR_RGBA = os.path.join(scratch, 'rgba.exr')
EXR_RGB = os.path.join(scratch, 'rgb.exr')
EXR_FLOP = os.path.join(scratch, 'flop.exr')
subprocess.run(['convert', SRC_RGBA, '-compress', 'None', EXR_RGBA], check=True)
subprocess.run(['convert', SRC_RGB, '-compress', 'None', EXR_RGB], check=True)
subprocess.run(['convert', SRC_RGB, '-flop', '-compress', 'None', EXR_FLOP], check=True)
for codec in ('Zip', 'ZipS', 'Piz', 'Pxr24'):
    magick('exr-%s-im.exr' % codec.lower(), ['-compress', codec], SRC_RGBA)
ffmpeg('exr-rle-ffmpeg.exr', ['-pix_fmt', 'gbrapf32le', '-compression', 'rle',
                              '-format', 'half'])
ffmpeg('exr-float-zip16-ffmpeg.exr', ['-pix_fmt', 'gbrapf32le', '-compression', 'zip16',
                                      '-format', 'float'])
# Luminance alone, with alpha, and luminance with chroma: chroma is sampled
# every second pixel and row, so those pictures need even sides.
SRC_EVEN = os.path.join(scratch, 'rgba-even.png')
RGBA.crop((0, 0, W - 1, H - 1)).save(SRC_EVEN)
for kind, source in (('Y', SRC_RGB), ('YA', SRC_RGBA), ('YC', SRC_EVEN), ('YCA', SRC_EVEN)):
    magick('exr-%s-im.exr' % kind.lower(), ['-define', 'exr:color-type=' + kind], source)
# OpenEXR's own tools: tiles (one level, mipmaps, ripmaps rounded up) in the
# codecs ImageMagick does not write, a preview in the header, two parts, two
# views, every standard attribute, a cube map.
exr_tiled = ['exrmaketiled', '-t', '16', '16']
tool('exr-tiled-exrmaketiled.exr', exr_tiled + ['-o', EXR_RGBA, 'OUT'])
tool('exr-tiled-mipmap-exrmaketiled.exr', exr_tiled + ['-m', EXR_RGBA, 'OUT'])
tool('exr-tiled-ripmap-exrmaketiled.exr', exr_tiled + ['-r', '-u', EXR_RGBA, 'OUT'])
for codec in ('rle', 'b44', 'b44a', 'dwaa', 'dwab'):
    tool('exr-tiled-%s-exrmaketiled.exr' % codec, exr_tiled + ['-z', codec, EXR_RGBA, 'OUT'])
tool('exr-preview-exrmakepreview.exr', ['exrmakepreview', '-w', '24', EXR_RGBA, 'OUT'])
tool('exr-multipart-exrmultipart.exr', ['exrmultipart', '-combine', '-i', EXR_RGBA + '::picture',
                                        EXR_FLOP + '::mirror', '-o', 'OUT'])
tool('exr-multiview-exrmultiview.exr', ['exrmultiview', 'left', EXR_RGB, 'right', EXR_FLOP, 'OUT'])
tool('exr-multiview-dwaa-exrmultiview.exr', ['exrmultiview', '-z', 'dwaa', 'left', EXR_RGB,
                                             'right', EXR_FLOP, 'OUT'])
tool('exr-attributes-exrstdattr.exr',
     ['exrstdattr', '-chromaticities', '0.64', '0.33', '0.3', '0.6', '0.15', '0.06', '0.3127',
      '0.329', '-owner', 'Pellara corpus', '-comments', 'one attribute of each kind',
      '-capDate', '2024:01:02 03:04:05', '-utcOffset', '3600', '-longitude', '2.35',
      '-latitude', '48.85', '-altitude', '35', '-expTime', '0.01', '-aperture', '2.8',
      '-isoSpeed', '200', '-framesPerSecond', '24', '1', '-keyCode', '1', '2', '3', '4', '5',
      '4', '64', '-timeCode', '1', '2', '-wrapmodes', 'clamp', '-string', 'lens', 'fifty mm',
      '-float', 'exposure', '1.5', '-int', 'take', '3', EXR_RGBA, 'OUT'])
tool('exr-cube-exrenvmap.exr', ['exrenvmap', '-li', '-c', '-w', '16', EXR_RGB, 'OUT'])


def exr_windows(data, data_window, display_window):
    """An uncompressed one-part scanline file with its windows moved (x0, y0,
    x1, y1): each line's y moves with the data window's top."""
    at, attrs = 8, {}
    while data[at] != 0:
        name_end = data.index(b'\0', at)
        type_end = data.index(b'\0', name_end + 1)
        size = struct.unpack('<i', data[type_end + 1:type_end + 5])[0]
        attrs[data[at:name_end]] = type_end + 5
        at = type_end + 5 + size
    assert data[attrs[b'compression']] == 0
    old = struct.unpack('<iiii', data[attrs[b'dataWindow']:attrs[b'dataWindow'] + 16])
    assert old[2] - old[0] == data_window[2] - data_window[0]
    assert old[3] - old[1] == data_window[3] - data_window[1]
    out = bytearray(data)
    for key, box in ((b'dataWindow', data_window), (b'displayWindow', display_window)):
        out[attrs[key]:attrs[key] + 16] = struct.pack('<iiii', *box)
    table = at + 1
    for i in range(old[3] - old[1] + 1):
        line = struct.unpack('<Q', data[table + 8 * i:table + 8 * i + 8])[0]
        y = struct.unpack('<i', data[line:line + 4])[0]
        out[line:line + 4] = struct.pack('<i', y - old[1] + data_window[1])
    return bytes(out)


# Renderers' crops: the data window inside a larger display window, one
# overhanging it above and to the left, and both far from the origin.
with open(EXR_RGBA, 'rb') as f:
    exr = f.read()
hand('exr-datawindow-inside-hand.exr',
     exr_windows(exr, (6, 5, W + 5, H + 4), (0, 0, W + 12, H + 11)))
hand('exr-datawindow-overhang-hand.exr',
     exr_windows(exr, (-10, -8, W - 11, H - 9), (0, 0, W - 1, H - 1)))
hand('exr-datawindow-origin-hand.exr',
     exr_windows(exr, (100, 200, W + 99, H + 199), (100, 200, W + 99, H + 199)))

shutil.rmtree(scratch)
print('make.py: %d files in made/' % len(os.listdir(out_dir)))
