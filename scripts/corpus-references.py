#!/usr/bin/python3
"""What the other decoders make of each picture of the reading corpus.

  scripts/corpus-references.py            writes tests/data/corpus/references.tsv
  scripts/corpus-references.py --judge NAME OURS.pam
                                          compares our reading of the file NAME
                                          (as references.tsv names it; a PAM of
                                          RGBA tuples) with the decoders that agree
                                          on it, live; one line, exit 0 when it matches

Every decoder installed that reads the file's format decodes it: Pillow,
ImageMagick, FFmpeg and the format's own tool (djpeg, dwebp, heif-convert,
avifdec, djxl, opj_decompress; tifffile for the TIFF sample widths the others
lack). A decoder that says it has no reader for a file's layout at all is
left out of that file's verdict, as one not installed is. Each reading becomes straight 8-bit RGBA with
the orientation applied (for the tools that leave EXIF orientation to the
viewer, the orientation Pillow finds in the file). Two readings agree when they
have one size and their pixels compare as the file's format allows:
  exact          every channel equal (8-bit lossless formats);
  near           no channel off by more than 1: samples deeper than 8 bits
                 (rounded or cut), narrower ones widened (BMP bit fields,
                 16-bit TGA, 6-bit TIFF), interpolated block-compressed DDS colours;
  lossy          a mean difference of at most 1.5 levels, at most 15 % of the
                 samples off by more than 2: decoders of JPEG, WebP, HEIF, AVIF,
                 JPEG XL and JPEG 2000 upsample chroma and convert colour their
                 own ways (floats, OpenEXR and PFM, compare so too);
  premultiplied  colours multiplied by alpha, then near: TIFF with associated
                 alpha, whose straight colours are rounded back from those.
A fully transparent pixel's colour counts when the agreeing decoders agree on
it too (it is "kept"; else "free").

The verdict of a file:
  read      two or more decoders agree and outnumber every other reading and
            the refusals (or the only decoder of its format here reads it);
  refuse    every decoder refuses it;
  disagree  the decoders that read it agree on nothing;
  split     some refuse it and the others' best reading does not outnumber
            them (a truncated file some decoders pad, a variant only one reads).
The manifest keeps the CRC-32 of every decoder's reading, so the test compares
our reading without running any decoder; only a reading of a "read" file that
equals none of the agreeing ones is judged live, with --judge.
"""
import array
import concurrent.futures
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

from PIL import Image, ImageChops, ImageOps

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(TOP, 'tests', 'data', 'corpus')
MANIFEST = os.path.join(CORPUS, 'references.tsv')
PARTS = ('made', 'public')


def path_of(name):
    return os.path.join(CORPUS, name)


MAGICK = '/usr/bin/convert' if os.path.exists('/usr/bin/convert') else 'convert'
IDENTIFY = '/usr/bin/identify' if os.path.exists('/usr/bin/identify') else 'identify'


def sniff(path):
    with open(path, 'rb') as f:
        head = f.read(64)
    ext = path.rsplit('.', 1)[-1].lower()
    if head.startswith(b'\x89PNG'):
        return 'png'
    if head.startswith(b'\xff\xd8\xff'):
        return 'jpeg'
    if head.startswith(b'GIF8'):
        return 'gif'
    if head.startswith(b'BM'):
        return 'bmp'
    if head[:4] in (b'II*\x00', b'MM\x00*', b'II+\x00', b'MM\x00+'):
        return 'tiff'
    if head[:4] == b'RIFF' and head[8:12] == b'WEBP':
        return 'webp'
    if head[4:8] == b'ftyp':
        n = struct.unpack('>I', head[:4])[0]
        brands = [head[i:i + 4] for i in range(8, min(n, 64), 4)]
        return 'avif' if b'avif' in brands or b'avis' in brands else 'heif'
    if head.startswith(b'\xff\x0a') or head.startswith(b'\x00\x00\x00\x0cJXL '):
        return 'jxl'
    if head.startswith(b'\x00\x00\x00\x0cjP  ') or head.startswith(b'\xff\x4f\xff\x51'):
        return 'jpeg2000'
    if head.startswith(b'\x76\x2f\x31\x01'):
        return 'exr'
    if head.startswith(b'8BPS'):
        return 'psd'
    if head.startswith(b'DDS '):
        return 'dds'
    if head.startswith(b'qoif'):
        return 'qoi'
    if head.startswith(b'P7'):
        return 'pam'
    if head[:2] in (b'PF', b'Pf'):
        return 'pfm'
    if head[:1] == b'P' and head[1:2] in b'123456':
        return 'pnm'
    if head.startswith(b'\x00\x00\x01\x00'):
        return 'ico'
    if head.startswith(b'\x00\x00\x02\x00') and ext != 'tga':
        return 'cur'
    if head[0] == 0x0A and head[1] <= 5 and head[2] <= 1:
        return 'pcx'
    if head.startswith(b'\x01\xda'):
        return 'sgi'
    if b'XPM' in head[:16]:
        return 'xpm'
    if head.startswith(b'#define'):
        return 'xbm'
    if ext == 'dib':
        return 'dib'
    if ext == 'tga':
        return 'tga'
    return 'unknown'


# The decoders that know each format (a decoder asked about a format it does
# not know would count as refusing it). Pillow 9.4 has no QOI, PAM, HEIF, AVIF
# or JPEG XL reader; ImageMagick 6 no QOI or JPEG XL; FFmpeg 5.1 no ICO, DIB,
# HEIF or AVIF.
DECODERS = {
    'png': ['pillow', 'magick', 'ffmpeg'],
    'jpeg': ['pillow', 'magick', 'ffmpeg', 'djpeg'],
    'gif': ['pillow', 'magick', 'ffmpeg'],
    'bmp': ['pillow', 'magick', 'ffmpeg'],
    'dib': ['pillow', 'magick'],
    'tiff': ['pillow', 'magick', 'tifffile', 'ffmpeg'],
    'webp': ['pillow', 'magick', 'ffmpeg', 'dwebp'],
    'heif': ['magick', 'heif-convert'],
    'avif': ['magick', 'heif-convert', 'avifdec'],
    'jxl': ['ffmpeg', 'djxl'],
    'jpeg2000': ['pillow', 'magick', 'ffmpeg', 'opj_decompress'],
    'exr': ['magick', 'ffmpeg'],
    'psd': ['pillow', 'magick', 'ffmpeg'],
    'dds': ['pillow', 'magick', 'ffmpeg'],
    'qoi': ['ffmpeg'],
    'pam': ['magick', 'ffmpeg'],
    'pnm': ['pillow', 'magick', 'ffmpeg'],
    'pfm': ['magick', 'ffmpeg'],
    'ico': ['pillow', 'magick'],
    'cur': ['pillow', 'magick'],
    'pcx': ['pillow', 'magick', 'ffmpeg'],
    'sgi': ['pillow', 'magick', 'ffmpeg'],
    'xpm': ['pillow', 'magick', 'ffmpeg'],
    'xbm': ['pillow', 'magick', 'ffmpeg'],
    'tga': ['pillow', 'magick', 'ffmpeg'],
}
LOSSY = {'jpeg', 'heif', 'avif', 'jxl', 'jpeg2000', 'exr', 'pfm'}  # webp: VP8 only


class Refused(Exception):
    pass


class NotApplicable(Exception):
    """The decoder does not handle this variant at all (not a refusal)."""


def run(command, timeout=120):
    try:
        p = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=timeout, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        raise Refused('timed out')
    except FileNotFoundError:
        raise NotApplicable('not installed')
    return p


def parse_pnm(data):
    """PAM, PPM or PGM bytes (8 or 16 bits) as an RGBA picture."""
    if data.startswith(b'P7'):
        end = data.index(b'ENDHDR\n') + 7
        fields = {}
        for line in data[:end].decode('latin-1').split('\n')[1:]:
            parts = line.split()
            if len(parts) >= 2:
                fields[parts[0]] = parts[1]
        w, h = int(fields['WIDTH']), int(fields['HEIGHT'])
        depth, maxval = int(fields['DEPTH']), int(fields['MAXVAL'])
        body = data[end:]
    else:
        tokens, at = [], 2
        while len(tokens) < 3:
            while data[at:at + 1].isspace():
                at += 1
            if data[at:at + 1] == b'#':
                at = data.index(b'\n', at)
                continue
            start = at
            while not data[at:at + 1].isspace():
                at += 1
            tokens.append(int(data[start:at]))
        w, h, maxval = tokens
        depth = 3 if data[1:2] == b'6' else 1
        body = data[at + 1:]
    samples = w * h * depth
    if maxval > 255:
        # Rounded to the nearest level, as the kit rounds 16-bit samples.
        values = array.array('H', body[:samples * 2])
        if sys.byteorder == 'little':
            values.byteswap()
        if maxval == 65535:
            body = bytes(map(ROUND16.__getitem__, values))
        else:
            body = bytes(min(255, (v * 255 + maxval // 2) // maxval) for v in values)
    else:
        body = body[:samples]
        if maxval != 255:
            body = body.translate(bytes(min(255, (v * 255 + maxval // 2) // maxval)
                                        for v in range(256)))
    if len(body) < samples:
        raise Refused('short output')
    mode = {1: 'L', 2: 'LA', 3: 'RGB', 4: 'RGBA'}[depth]
    return Image.frombytes(mode, (w, h), body).convert('RGBA')


ROUND16 = bytes((v * 255 + 32767) // 65535 for v in range(65536))


def to_rgba(im):
    if im.mode in ('I;16', 'I;16B', 'I;16L', 'I;16N', 'I'):
        im = im.point(lambda v: v * (1 / 256.0) + 0.5).convert('L')
    elif im.mode == 'F':
        raise NotApplicable('float picture')
    return im.convert('RGBA')


def pillow_orientation(path):
    try:
        with Image.open(path) as im:
            return im.getexif().get(0x0112, 1)
    except Exception:
        return 1


def orient(im, orientation):
    method = {2: Image.Transpose.FLIP_LEFT_RIGHT, 3: Image.Transpose.ROTATE_180,
              4: Image.Transpose.FLIP_TOP_BOTTOM, 5: Image.Transpose.TRANSPOSE,
              6: Image.Transpose.ROTATE_270, 7: Image.Transpose.TRANSVERSE,
              8: Image.Transpose.ROTATE_90}.get(orientation)
    return im.transpose(method) if method is not None else im


def decode_pillow(path, fmt, scratch):
    try:
        im = Image.open(path)
        im.load()
        bits = im.tag_v2.get(258, 16) if fmt == 'tiff' else 16
        bits = bits[0] if isinstance(bits, tuple) else bits
        im = ImageOps.exif_transpose(im)
        depth = depth_of_pillow(im)
        if fmt == 'tiff' and im.mode.startswith('I;16'):
            # 12-bit grey comes as I;16 holding the samples as stored
            # (0..4095): widened from its own range, not from 16 bits.
            if bits < 16:
                im = im.point(lambda v: v * (255.0 / ((1 << bits) - 1)) + 0.5).convert('L')
        return to_rgba(im), depth
    except NotApplicable:
        raise
    except Exception as e:
        if fmt == 'tiff' and pillow_lacks_layout(path):
            raise NotApplicable('no mode for this TIFF layout')
        raise Refused(str(e).split('\n')[0])


def pillow_lacks_layout(path):
    """Whether Pillow has no pixel mode for the TIFF's layout: a variant it
    does not read at all (10-bit RGB, float RGB, ...), not a refusal."""
    from PIL import TiffImagePlugin
    try:
        TiffImagePlugin.TiffImageFile(path).close()
    except SyntaxError as e:
        return 'unknown pixel mode' in str(e)
    except Exception:
        pass
    return False


def depth_of_pillow(im):
    return 16 if im.mode.startswith('I') else 8


def decode_magick(path, fmt, scratch):
    index = 0
    if fmt in ('ico', 'cur'):
        p = run([IDENTIFY, '-format', '%w %h\n', path])
        if p.returncode != 0:
            raise Refused(p.stderr.decode('latin-1').strip().split('\n')[0])
        sizes = [tuple(map(int, line.split())) for line in p.stdout.decode().split('\n') if line]
        index = max(range(len(sizes)), key=lambda i: sizes[i][0] * sizes[i][1])
    source = ('dib:' if fmt == 'dib' else '') + '%s[%d]' % (path, index)
    depth_file = os.path.join(scratch, 'depth.txt')
    command = [MAGICK, source, '-format', '%z', '-write', 'info:' + depth_file]
    if fmt == 'gif':
        command += ['-coalesce']
    if fmt == 'exr':
        # Float pictures are data (as FFmpeg and our readers take them):
        # ImageMagick labels them linear and would put a gamma on them.
        command += ['-set', 'colorspace', 'sRGB']
    command += ['-auto-orient', '-colorspace', 'sRGB', '-depth', '8', 'pam:-']
    p = run(command)
    if p.returncode != 0 or not p.stdout:
        raise Refused(p.stderr.decode('latin-1').strip().split('\n')[0])
    with open(depth_file) as f:
        depth = int(f.read().strip() or 8)
    os.remove(depth_file)
    return parse_pnm(p.stdout), depth


def decode_ffmpeg(path, fmt, scratch, deep=False):
    # 16 bits a sample only for deep pictures: swscale's reductions to 8 bits
    # and its widening of 8-bit ones are each a level off at times.
    p = run(['ffmpeg', '-nostdin', '-v', 'error', '-xerror', '-i', path, '-frames:v', '1',
             '-f', 'image2pipe', '-c:v', 'pam', '-pix_fmt', 'rgba64be' if deep else 'rgba',
             '-'])
    err = p.stderr.decode('latin-1').strip()
    if fmt == 'tiff' and 'This format is not supported' in err:
        raise NotApplicable(err)  # a sample layout it has no reader for
    if p.returncode != 0 or not p.stdout:
        raise Refused(err.split('\n')[0])
    return orient(parse_pnm(p.stdout), pillow_orientation(path)), 8


def decode_djpeg(path, fmt, scratch):
    p = run(['djpeg', '-pnm', path])
    err = p.stderr.decode('latin-1').strip()
    if 'Unsupported color conversion' in err:
        raise NotApplicable(err)
    if p.returncode != 0 or not p.stdout or err:
        raise Refused(err.split('\n')[0])
    return orient(parse_pnm(p.stdout), pillow_orientation(path)), 8


def decode_dwebp(path, fmt, scratch):
    p = run(['dwebp', path, '-pam', '-o', '-'])
    err = p.stderr.decode('latin-1')
    if 'animat' in err.lower():
        raise NotApplicable('animation')
    if p.returncode != 0 or not p.stdout:
        raise Refused(err.strip().split('\n')[0])
    return orient(parse_pnm(p.stdout), pillow_orientation(path)), 8


def decode_to_png(command, scratch):
    out = os.path.join(scratch, 'out.png')
    if os.path.exists(out):
        os.remove(out)
    p = run(command + [out])
    if p.returncode != 0 or not os.path.exists(out):
        raise Refused((p.stderr or p.stdout).decode('latin-1').strip().split('\n')[0])
    with Image.open(out) as im:
        im.load()
        return to_rgba(im), 16 if im.mode.startswith('I') else 8


def decode_heif_convert(path, fmt, scratch):
    try:
        return decode_to_png(['heif-convert', path], scratch)
    except Refused:
        # A file of several pictures is written as out-1.png, out-2.png, ...
        # in the order heif-info lists them: take the primary one.
        listed = run(['heif-info', path]).stdout.decode('latin-1').split('\n')
        pictures = [line for line in listed if line.startswith('image:')]
        primary = [i for i, line in enumerate(pictures) if line.endswith('primary')]
        numbered = os.path.join(scratch, 'out-%d.png' % (primary[0] + 1)) if primary else ''
        if len(pictures) < 2 or not os.path.exists(numbered):
            raise
        with Image.open(numbered) as im:
            im.load()
            return to_rgba(im), 16 if im.mode.startswith('I') else 8


def decode_avifdec(path, fmt, scratch):
    return decode_to_png(['avifdec', '-d', '8', path], scratch)


def decode_djxl(path, fmt, scratch):
    return decode_to_png(['djxl', path], scratch)


def decode_opj(path, fmt, scratch):
    return decode_to_png(['opj_decompress', '-upsample', '-i', path, '-o'], scratch)


def unpack_samples(data, dtype, bitspersample, runlen=0, *, out=None):
    """Packed samples, most significant bit first, each run of runlen
    starting on a byte: imagecodecs' packints_decode, which tifffile wants
    for widths other than 8, 16, 32 and 64 bits (Debian has no imagecodecs)."""
    import numpy
    raw = numpy.frombuffer(data, numpy.uint8)
    if runlen == 0:
        runlen = raw.size * 8 // bitspersample
    row = (runlen * bitspersample + 7) // 8
    rows = raw.size // row
    bits = numpy.unpackbits(raw[:rows * row].reshape(rows, row), axis=1)
    bits = bits[:, :runlen * bitspersample].reshape(rows, runlen, bitspersample)
    weights = numpy.left_shift(1, numpy.arange(bitspersample - 1, -1, -1, dtype=numpy.uint32))
    return (bits.astype(numpy.uint32) @ weights).ravel().astype(dtype)


def float_unpredict(data, axis=-1, dist=1, out=None):
    """The floating-point predictor undone, as libtiff undoes it: each row's
    bytes summed at a distance of one pixel, then put back from planes of
    most to least significant bytes (imagecodecs' floatpred_decode)."""
    import numpy
    a = numpy.asarray(data)
    axis %= a.ndim
    stride = int(numpy.prod(a.shape[axis + 1:], dtype=numpy.int64))
    count = a.shape[axis] * stride
    size = a.dtype.itemsize
    b = numpy.ascontiguousarray(a).view(numpy.uint8).reshape(-1, count * size // stride, stride)
    b = (numpy.cumsum(b, axis=1, dtype=numpy.uint64) & 0xFF).astype(numpy.uint8)
    b = b.reshape(-1, size, count).transpose(0, 2, 1)
    values = numpy.ascontiguousarray(b).view('>f%d' % size).astype(a.dtype)
    return values.reshape(a.shape)


def decode_tifffile(path, fmt, scratch):
    """tifffile, for the grey and RGB layouts the others lack a reading of
    (integer samples of other widths than 8 and 16 bits, floats): it
    hands back samples as stored, widened here to 8 bits, rounded (floats
    clamped to 0..1), the orientation tag applied."""
    try:
        import numpy
        import tifffile
    except ImportError:
        raise NotApplicable('not installed')
    codecs = tifffile.tifffile.imagecodecs
    if codecs.__name__.endswith('_imagecodecs'):  # tifffile's own stand-in
        codecs.packints_decode = unpack_samples
        codecs.floatpred_decode = float_unpredict
    try:
        with tifffile.TiffFile(path) as t:
            page = t.pages[0]
            bits, spp = page.bitspersample, page.samplesperpixel
            kind, photometric = int(page.sampleformat), int(page.photometric)
            extra = tuple(page.extrasamples or ())
            orientation = page.tags.valueof(274, 1)
            integer = kind == 1 and 2 <= bits <= 16 and bits not in (8, 16)
            real = kind == 3 and bits in (16, 32, 64)
            if photometric not in (0, 1, 2) or not (integer or real):
                raise NotApplicable('layout read by the others')
            a = page.asarray()
    except NotApplicable:
        raise
    except Exception as e:
        if "requires the 'imagecodecs' package" in str(e) or 'not supported' in str(e):
            raise NotApplicable(str(e))  # a codec tifffile has not here
        raise Refused(str(e).split('\n')[0])
    colours = 1 if photometric in (0, 1) else 3
    if page.planarconfig == 2 and spp > 1:
        a = a.reshape(spp, page.imagelength, page.imagewidth).transpose(1, 2, 0)
    a = a.reshape(page.imagelength, page.imagewidth, spp)
    if kind == 3:
        a = numpy.nan_to_num(a.astype(numpy.float64), nan=0.0, posinf=1.0, neginf=0.0)
        levels = numpy.floor(numpy.clip(a, 0, 1) * 255 + 0.5)
    else:
        most = (1 << bits) - 1
        levels = (a.astype(numpy.uint64) * 255 + most // 2) // most
    levels = levels.astype(numpy.uint8)
    colour = levels[:, :, :colours]
    if photometric == 0:
        colour = 255 - colour
    if colours == 1:
        colour = numpy.repeat(colour, 3, axis=2)
    alpha = spp > colours and extra and extra[0] in (1, 2)
    if alpha:
        a8 = levels[:, :, colours:colours + 1].astype(numpy.uint32)
        if extra[0] == 1:  # associated: colours divided back, as shown straight
            c = colour.astype(numpy.uint32)
            straight = (c * 255 + a8 // 2) // numpy.maximum(a8, 1)
            colour = numpy.where(a8 > 0, numpy.minimum(255, straight), c)
        opacity = a8.astype(numpy.uint8)
    else:
        opacity = numpy.full(colour.shape[:2] + (1,), 255, numpy.uint8)
    rgba = numpy.concatenate([colour.astype(numpy.uint8), opacity], axis=2)
    im = Image.fromarray(numpy.ascontiguousarray(rgba), 'RGBA')
    return orient(im, orientation), bits


DECODE = {
    'pillow': decode_pillow, 'magick': decode_magick, 'ffmpeg': decode_ffmpeg,
    'djpeg': decode_djpeg, 'dwebp': decode_dwebp, 'heif-convert': decode_heif_convert,
    'avifdec': decode_avifdec, 'djxl': decode_djxl, 'opj_decompress': decode_opj,
    'tifffile': decode_tifffile,
}


def masked(im):
    """Fully transparent pixels' colour made black: for comparing what shows."""
    alpha = im.getchannel('A').point(lambda a: 255 if a else 0)
    black = Image.new('RGBA', im.size, (0, 0, 0, 0))
    return Image.composite(im, black, alpha)


def histogram(a, b):
    """Counts of each channel difference, over the four channels."""
    counts = [0] * 256
    for band in ImageChops.difference(a, b).split():
        for level, n in enumerate(band.histogram()):
            counts[level] += n
    return counts


def difference(a, b, with_hidden, mode='exact'):
    """How far b is from a: (largest channel difference, mean, share of
    samples off by more than 2), or None when the sizes differ."""
    if a.size != b.size:
        return None
    if mode == 'premultiplied':
        a, b = a.convert('RGBa'), b.convert('RGBa')
    elif not with_hidden:
        a, b = masked(a), masked(b)
    counts = histogram(a, b)
    total = sum(counts)
    largest = max(level for level in range(256) if counts[level])
    mean = sum(level * n for level, n in enumerate(counts)) / total
    return largest, mean, sum(counts[3:]) / total


def agree(a, b, mode, with_hidden=False):
    d = difference(a, b, with_hidden, mode)
    if d is None:
        return False
    largest, mean, off = d
    if mode == 'exact':
        return largest == 0
    if mode == 'lossy':
        # Decoders of one lossy file differ in chroma upsampling and colour
        # conversion: close on average, with edges apart.
        return mean <= 1.5 and off <= 0.15
    return largest <= 1  # 'near', 'premultiplied'


def describe(d):
    return 'in size' if d is None else 'by up to %d (mean %.2f, %.1f%% off by more than 2)' % (
        d[0], d[1], d[2] * 100)


def digest(im):
    return '%08x' % (zlib.crc32(im.tobytes()) & 0xFFFFFFFF)


def tiff_photometric(path):
    try:
        with Image.open(path) as im:
            return im.tag_v2.get(262)
    except Exception:
        return None


def tiff_extra_samples(path):
    """The ExtraSamples tag, through tifffile where Pillow has no mode for
    the layout."""
    try:
        with Image.open(path) as im:
            return im.tag_v2.get(338)
    except Exception:
        pass
    try:
        import tifffile
        with tifffile.TiffFile(path) as t:
            return tuple(int(k) for k in t.pages[0].extrasamples or ())
    except Exception:
        return None


def compare_mode(path, fmt, depths):
    """exact, near (one level either way), lossy or premultiplied."""
    with open(path, 'rb') as f:
        head = f.read(128)
    if fmt in LOSSY or (fmt == 'webp' and b'VP8 ' in head):
        return 'lossy'
    if fmt == 'tiff':
        extra = tiff_extra_samples(path)
        if extra == 1 or (isinstance(extra, tuple) and 1 in extra):
            # Associated alpha: straight colours are rounded back from
            # premultiplied ones, so compare what would be shown.
            return 'premultiplied'
    if max(depths, default=8) > 8:
        return 'near'  # 16-bit samples: rounded or cut to 8 bits
    if fmt == 'tiff' and any(d not in (1, 2, 4, 8) for d in depths):
        return 'near'  # 6-bit samples and the like: widened rounded or cut
    if (fmt == 'tiff' and tiff_photometric(path) == 5) or (
            fmt == 'psd' and len(head) > 26 and head[24:26] == b'\x00\x04'):
        return 'near'  # CMYK: inks to light, rounded either way
    if fmt == 'dds' and head[84:88] != b'\0\0\0\0':
        return 'near'  # block compression: interpolated colours round either way
    if fmt == 'dds' and struct.unpack('<I', head[88:92])[0] == 16:
        return 'near'
    if fmt == 'bmp' and len(head) >= 34:
        bits, compression = struct.unpack('<HI', head[28:34])
        if bits == 16 or compression in (3, 6):
            return 'near'  # 4-, 5- and 6-bit samples widened either way
    if fmt == 'tga' and len(head) >= 17 and head[16] in (15, 16):
        return 'near'
    return 'exact'


def tidy(message, path, scratch):
    """A refusal's message without what changes from run to run."""
    message = message.replace(path, 'FILE').replace(scratch, 'TMP')
    return re.sub(r' @ 0x[0-9a-f]+', '', message)


def readings(path, fmt, names=None):
    """name -> (picture, depth) or the reason it was refused."""
    result = {}
    scratch = tempfile.mkdtemp(prefix='pellara-refs-')
    try:
        deep = False
        # In the table's order: FFmpeg after those that tell a deep picture.
        for name in [n for n in DECODERS.get(fmt, []) if names is None or n in names]:
            try:
                if name == 'ffmpeg':
                    result[name] = decode_ffmpeg(path, fmt, scratch, deep)
                else:
                    result[name] = DECODE[name](path, fmt, scratch)
                    deep = deep or result[name][1] > 8
            except Refused as e:
                result[name] = 'refused: ' + tidy(str(e) or 'error', path, scratch)[:80]
            except NotApplicable:
                pass
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return result


def agreeing_groups(pictures, mode):
    names = sorted(pictures)
    pairs = {(a, b): agree(pictures[a], pictures[b], mode)
             for i, a in enumerate(names) for b in names[i + 1:]}
    groups = []
    # Few decoders: every subset, largest first, whose members all agree.
    for mask in range((1 << len(names)) - 1, 0, -1):
        members = [names[i] for i in range(len(names)) if mask >> i & 1]
        ok = all(pairs[(a, b)] for i, a in enumerate(members) for b in members[i + 1:])
        if ok and not any(set(members) <= set(g) for g in groups):
            groups.append(members)
    return sorted(groups, key=len, reverse=True)


def verdict_of(pictures, refusals, mode):
    """The manifest's judgement of one file from its readings (name ->
    picture) and refusals (name -> reason), without the file's own columns."""
    row = {'verdict': '', 'width': 0, 'height': 0, 'compare': mode, 'hidden': '-',
           'group': '-', 'digests': '-'}
    notes = ['%s %s' % (n, r) for n, r in sorted(refusals.items())]
    if not pictures:
        row['verdict'] = 'refuse' if refusals else 'disagree'
        if not refusals:
            notes.append('no decoder here reads this format')
        row['notes'] = '; '.join(notes)
        return row
    groups = agreeing_groups(pictures, mode)
    best = groups[0]
    # Another group as large, even one sharing a member, leaves it open.
    rival = max([len(g) for g in groups[1:]], default=0)
    sole = len(pictures) == 1 and not refusals
    if (len(best) >= 2 or sole) and len(best) > rival and len(best) > len(refusals):
        row['verdict'] = 'read'
        first = pictures[best[0]]
        row['width'], row['height'] = first.size
        # Premultiplied comparisons hide the colour under alpha 0 anyway.
        hidden = mode != 'premultiplied' and all(
            agree(pictures[a], pictures[b], mode, True)
            for i, a in enumerate(best) for b in best[i + 1:])
        row['hidden'] = 'kept' if hidden else 'free'
        row['group'] = ','.join(best)
        row['digests'] = ','.join(
            '%s=%s' % (n, digest(pictures[n] if hidden else masked(pictures[n])))
            for n in sorted(pictures))
        for n in sorted(set(pictures) - set(best)):
            notes.append('%s differs %s' % (
                n, describe(difference(first, pictures[n], False, mode))))
    else:
        row['verdict'] = 'split' if refusals else 'disagree'
        row['hidden'] = 'free'
        row['digests'] = ','.join('%s=%s' % (n, digest(masked(pictures[n])))
                                  for n in sorted(pictures))
        names = sorted(pictures)
        for n in names:
            notes.append('%s reads %dx%d' % ((n,) + pictures[n].size))
        for i, a in enumerate(names):
            for b in names[i + 1:]:
                notes.append('%s-%s %s' % (a, b, describe(
                    difference(pictures[a], pictures[b], False, mode))))
    row['notes'] = '; '.join(notes)
    return row


def judge_file(path, rel):
    fmt = sniff(path)
    got = readings(path, fmt)
    pictures = {n: r[0] for n, r in got.items() if not isinstance(r, str)}
    refusals = {n: r for n, r in got.items() if isinstance(r, str)}
    depths = [r[1] for r in got.values() if not isinstance(r, str)]
    with open(path, 'rb') as f:
        file_crc = '%08x' % (zlib.crc32(f.read()) & 0xFFFFFFFF)
    row = {'file': rel, 'format': fmt, 'crc': file_crc}
    row.update(verdict_of(pictures, refusals, compare_mode(path, fmt, depths)))
    row['notes'] = row['notes'].replace('\t', ' ') or '-'
    return row


COLUMNS = ['file', 'format', 'crc', 'verdict', 'width', 'height', 'compare', 'hidden',
           'group', 'digests', 'notes']


def corpus_files():
    files = []
    for part in PARTS:
        for folder, _, names in os.walk(os.path.join(CORPUS, part)):
            for name in names:
                full = os.path.join(folder, name)
                files.append((full, os.path.relpath(full, CORPUS)))
    return sorted(files, key=lambda f: f[1])


def write_manifest():
    files = corpus_files()
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        rows = list(pool.map(lambda f: judge_file(*f), files))
    with open(MANIFEST, 'w') as out:
        out.write('# Made by scripts/corpus-references.py: what the other decoders read in\n'
                  '# each corpus file. Columns: ' + ' '.join(COLUMNS) + '\n')
        for row in rows:
            out.write('\t'.join(str(row[c]) for c in COLUMNS) + '\n')
    counts = {}
    for row in rows:
        counts[row['verdict']] = counts.get(row['verdict'], 0) + 1
    print('%d files: %s' % (len(rows), ', '.join('%d %s' % (n, v)
                                                  for v, n in sorted(counts.items()))))


def manifest_row(rel):
    with open(MANIFEST) as f:
        for line in f:
            if line.startswith('#'):
                continue
            fields = line.rstrip('\n').split('\t')
            if fields[0] == rel:
                return dict(zip(COLUMNS, fields))
    return None


def judge(rel, ours_path):
    path = path_of(rel)
    row = manifest_row(rel)
    if row is None or row['verdict'] != 'read':
        print('not judged: the manifest has no reading of %s' % rel)
        return 2
    with open(ours_path, 'rb') as f:
        ours = parse_pnm(f.read())
    mode, hidden = row['compare'], row['hidden'] == 'kept'
    got = readings(path, row['format'], row['group'].split(','))
    closest = None
    for name, r in sorted(got.items()):
        if isinstance(r, str):
            continue
        if agree(r[0], ours, mode, hidden):
            print('matches %s (%s)' % (name, mode))
            return 0
        d = difference(r[0], ours, hidden, mode)
        if d is None:
            print('size %dx%d where %s reads %dx%d' % (ours.size + (name,) + r[0].size))
            return 1
        if closest is None or d[1] < closest[1][1]:
            closest = (name, d)
    if closest is None:
        print('not judged: no agreeing decoder is installed here')
        return 2
    print('pixels differ from %s %s' % (closest[0], describe(closest[1])))
    return 1


if __name__ == '__main__':
    if len(sys.argv) == 4 and sys.argv[1] == '--judge':
        sys.exit(judge(sys.argv[2], sys.argv[3]))
    if len(sys.argv) == 1:
        write_manifest()
        sys.exit(0)
    print(__doc__.split('\n\n')[0], file=sys.stderr)
    sys.exit(2)
