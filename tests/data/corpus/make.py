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

from PIL import Image

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

shutil.rmtree(scratch)
print('make.py: %d files in made/' % len(os.listdir(out_dir)))
