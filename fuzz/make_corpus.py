#!/usr/bin/python3
# Writes the fuzz seed corpora: small files of every variant each translator
# of ours reads, made with Pillow, ImageMagick and the formats' own tools.
# Run from anywhere: python3 fuzz/make_corpus.py (needs python3-pil,
# imagemagick, libjpeg-turbo-progs, webp, libheif-examples, libavif-bin,
# libjxl-tools, libopenjp2-tools, ffmpeg). Names of corpora as arguments
# make only those.
import os
import shutil
import subprocess
import sys
import tempfile

from PIL import Image

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, '..', 'tests', 'support'))
work = tempfile.mkdtemp()


def src(mode='RGB', w=24, h=16):
    im = Image.new('RGBA', (w, h))
    im.putdata([((x * 255) // (w - 1), (y * 255) // (h - 1), ((x * 7 + y * 13) * 5) % 256,
                 255 if (x + y) % 5 else (x * 9) % 256) for y in range(h) for x in range(w)])
    return im.convert(mode)


def folder(name):
    path = os.path.join(here, 'corpus', name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def tool(name):
    return shutil.which(name) is not None


def exif(orientation, endian='<'):
    e = Image.Exif()
    e[0x0112] = orientation
    e.endian = endian
    return e


def magick(out, *args, mode='RGBA', w=24, h=16):
    png = os.path.join(work, 's.png')
    src(mode, w, h).save(png)
    run('convert', png, *args, out)


def jpeg():
    d = folder('jpeg')
    src().save(f'{d}/baseline.jpg', quality=85)
    src().save(f'{d}/444.jpg', subsampling=0)
    src('L').save(f'{d}/grey.jpg')
    src().save(f'{d}/progressive.jpg', progressive=True)
    src('CMYK').save(f'{d}/cmyk.jpg')
    src().save(f'{d}/orientation6.jpg', exif=exif(6))
    src().save(f'{d}/orientation8be.jpg', exif=exif(8, '>'))
    src(w=17, h=9).save(f'{d}/odd.jpg')
    ppm = os.path.join(work, 's.ppm')
    src().save(ppm)
    run('cjpeg', '-arithmetic', '-outfile', f'{d}/arithmetic.jpg', ppm)
    run('cjpeg', '-restart', '1B', '-outfile', f'{d}/restart.jpg', ppm)
    run('cjpeg', '-progressive', '-arithmetic', '-outfile', f'{d}/progressive-arith.jpg', ppm)
    magick(f'{d}/ycck.jpg', '-alpha', 'off', '-colorspace', 'CMYK')
    # 12-bit and lossless JPEG (libavcodec's path): dcmtk's files of the
    # reading corpus, which no tool here besides dcmtk writes.
    made = os.path.join(here, '..', 'tests', 'data', 'corpus', 'made')
    for name in ('jpeg-12bit-ycc-dcmtk.jpg', 'jpeg-lossless-grey-dcmtk.jpg'):
        shutil.copy(os.path.join(made, name), d)


def tiff():
    d = folder('tiff')
    src().save(f'{d}/rgb.tif')
    src('RGBA').save(f'{d}/rgba.tif')
    src('L').save(f'{d}/grey.tif')
    src('LA').save(f'{d}/grey-alpha.tif')
    src('P').save(f'{d}/palette.tif')
    src('1').save(f'{d}/bilevel.tif')
    src('CMYK').save(f'{d}/cmyk.tif')
    src().save(f'{d}/lzw.tif', compression='tiff_lzw')
    src().save(f'{d}/packbits.tif', compression='packbits')
    magick(f'{d}/deflate-predictor.tif', '-compress', 'Zip', '-define', 'tiff:predictor=2')
    magick(f'{d}/planar.tif', '-interlace', 'plane')
    magick(f'{d}/tiled.tif', '-define', 'tiff:tile-geometry=16x16')
    magick(f'{d}/rgba16.tif', '-depth', '16')
    magick(f'{d}/grey16.tif', '-alpha', 'off', '-colorspace', 'Gray', '-depth', '16')
    magick(f'{d}/lab.tif', '-alpha', 'off', '-colorspace', 'Lab')
    magick(f'{d}/jpeg.tif', '-alpha', 'off', '-compress', 'JPEG')
    magick(f'{d}/orientation6.tif', '-alpha', 'off', '-orient', 'RightTop')
    magick(f'{d}/bigtiff.tif', '-alpha', 'off', mode='RGB')
    run('convert', f'{d}/bigtiff.tif', f'TIFF64:{d}/bigtiff.tif')
    magick(f'{d}/big-endian.tif', '-alpha', 'off', '-endian', 'MSB')
    magick(f'{d}/cmyk16.tif', '-alpha', 'off', '-colorspace', 'CMYK', '-depth', '16')
    # Sample widths read a row at a time, past libtiff's RGBA interface.
    magick(f'{d}/rgb12.tif', '-alpha', 'off', '-depth', '12')
    magick(f'{d}/rgba10-planar.tif', '-depth', '10', '-interlace', 'plane')
    magick(f'{d}/grey6.tif', '-alpha', 'off', '-colorspace', 'Gray', '-depth', '6')
    magick(f'{d}/grey4-alpha.tif', '-type', 'GrayscaleAlpha', '-depth', '4')
    magick(f'{d}/float.tif', '-depth', '32', '-define', 'quantum:format=floating-point')
    run('tiffcp', '-t', '-w', '16', '-l', '16', f'{d}/rgb12.tif', f'{d}/rgb12-tiled.tif')


def webp():
    d = folder('webp')
    src().save(f'{d}/lossy.webp', quality=80)
    src('RGBA').save(f'{d}/lossy-alpha.webp', quality=80)
    src().save(f'{d}/lossless.webp', lossless=True)
    src('RGBA').save(f'{d}/lossless-alpha.webp', lossless=True, exact=True)
    src().save(f'{d}/orientation6.webp', exif=exif(6))
    a = src()
    a.save(f'{d}/animation.webp', save_all=True,
           append_images=[a.transpose(Image.FLIP_LEFT_RIGHT)], duration=100, lossless=True)
    if tool('webpmux'):
        f1, f2 = os.path.join(work, 'f1.webp'), os.path.join(work, 'f2.webp')
        src(w=12, h=8).save(f1, lossless=True)
        src('RGBA', w=8, h=6).save(f2, quality=70)
        run('webpmux', '-frame', f2, '+100+4+2', '-frame', f1, '+100', '-o',
            f'{d}/animation-offset.webp')


def heif():
    d = folder('heif')
    png, rgba = os.path.join(work, 's.png'), os.path.join(work, 'a.png')
    src(w=16, h=16).save(png)
    src('RGBA', w=16, h=16).save(rgba)
    run('heif-enc', '-q', '50', '-o', f'{d}/photo.heic', png)
    run('heif-enc', '-q', '50', '-o', f'{d}/alpha.heic', rgba)
    run('avifenc', '-s', '10', png, f'{d}/lossy.avif')
    run('avifenc', '-s', '10', rgba, f'{d}/alpha.avif')
    run('avifenc', '-l', '-s', '10', png, f'{d}/lossless.avif')
    run('avifenc', '-s', '10', '-d', '10', png, f'{d}/deep.avif')
    run('avifenc', '-s', '10', '--irot', '1', '--imir', '1', png, f'{d}/turned.avif')
    run('avifenc', '-s', '10', '-y', '420', png, f'{d}/420.avif')
    # A phone-like grid (tiles, thumbnail, Exif, irot) and an overlay, put
    # together by the reading corpus's make.py.
    made = os.path.join(here, '..', 'tests', 'data', 'corpus', 'made')
    for name in ('heic-grid-phone-hand.heic', 'heic-overlay-hand.heic'):
        shutil.copy(os.path.join(made, name), d)


def jxl():
    d = folder('jxl')
    png, rgba, grey = (os.path.join(work, n) for n in ('s.png', 'a.png', 'g.png'))
    src(w=16, h=16).save(png)
    src('RGBA', w=16, h=16).save(rgba)
    src('L', w=16, h=16).save(grey)
    run('cjxl', '-d', '1', png, f'{d}/lossy.jxl')
    run('cjxl', '-d', '0', png, f'{d}/lossless.jxl')
    run('cjxl', '-d', '1', rgba, f'{d}/alpha.jxl')
    run('cjxl', '-d', '0', grey, f'{d}/grey.jxl')
    jpg = os.path.join(work, 's.jpg')
    src(w=16, h=16).save(jpg)
    run('cjxl', jpg, f'{d}/repacked.jxl')
    a = src(w=16, h=16)
    anim = os.path.join(work, 'anim.png')
    a.save(anim, save_all=True, append_images=[a.transpose(Image.FLIP_LEFT_RIGHT)], duration=100)
    run('cjxl', '-d', '0', anim, f'{d}/animation.jxl')


def jpeg2000():
    d = folder('jpeg2000')
    png, rgba, grey = (os.path.join(work, n) for n in ('s.png', 'a.png', 'g.png'))
    src(w=32, h=32).save(png)
    src('RGBA', w=32, h=32).save(rgba)
    src('L', w=32, h=32).save(grey)
    run('opj_compress', '-i', png, '-o', f'{d}/lossless.jp2', '-n', '3')
    run('opj_compress', '-i', png, '-o', f'{d}/lossy.jp2', '-r', '20', '-n', '3')
    run('opj_compress', '-i', png, '-o', f'{d}/codestream.j2k', '-n', '3')
    run('opj_compress', '-i', png, '-o', f'{d}/tiled.j2k', '-t', '8,8', '-n', '2', '-r', '10')
    run('opj_compress', '-i', png, '-o', f'{d}/rpcl.jp2', '-p', 'RPCL', '-n', '3')
    run('opj_compress', '-i', rgba, '-o', f'{d}/alpha.jp2', '-n', '3')
    run('opj_compress', '-i', grey, '-o', f'{d}/grey.jp2', '-n', '3')


def write_exr(path, w, h, chans, compression=0):
    # Uncompressed scanline OpenEXR of FLOAT channels.
    import struct
    names = sorted(chans)

    def attr(name, typ, data):
        return name.encode() + b'\0' + typ.encode() + b'\0' + struct.pack('<i', len(data)) + data
    chlist = b''.join(n.encode() + b'\0' + struct.pack('<iB3xii', 2, 0, 1, 1) for n in names)
    hdr = b'\x76\x2f\x31\x01' + struct.pack('<I', 2)
    hdr += attr('channels', 'chlist', chlist + b'\0')
    hdr += attr('compression', 'compression', bytes([compression]))
    hdr += attr('dataWindow', 'box2i', struct.pack('<iiii', 0, 0, w - 1, h - 1))
    hdr += attr('displayWindow', 'box2i', struct.pack('<iiii', 0, 0, w - 1, h - 1))
    hdr += attr('lineOrder', 'lineOrder', b'\0')
    hdr += attr('pixelAspectRatio', 'float', struct.pack('<f', 1))
    hdr += attr('screenWindowCenter', 'v2f', struct.pack('<ff', 0, 0))
    hdr += attr('screenWindowWidth', 'float', struct.pack('<f', 1))
    hdr += b'\0'
    at = len(hdr) + 8 * h
    offsets, lines = [], []
    for y in range(h):
        data = b''.join(struct.pack('<%df' % w, *chans[n][y * w:(y + 1) * w]) for n in names)
        offsets.append(at)
        lines.append(struct.pack('<ii', y, len(data)) + data)
        at += len(lines[-1])
    with open(path, 'wb') as f:
        f.write(hdr + b''.join(struct.pack('<Q', o) for o in offsets) + b''.join(lines))


def depth_pass(w, h):
    return [2.0 + ((x - w // 2) ** 2 + (y - h // 2) ** 2) * 0.05 for y in range(h) for x in range(w)]


def exr():
    d = folder('exr')
    png, rgba = os.path.join(work, 's.png'), os.path.join(work, 'a.png')
    src(w=16, h=12).save(png)
    src('RGBA', w=16, h=12).save(rgba)
    run('convert', png, f'{d}/half.exr')
    run('convert', rgba, f'{d}/rgba.exr')
    run('convert', png, '-compress', 'Piz', f'{d}/piz.exr')
    run('convert', png, '-compress', 'RLE', f'{d}/rle.exr')
    run('convert', png, '-compress', 'None', f'{d}/none.exr')
    write_exr(f'{d}/depth-z.exr', 12, 8, {'Z': depth_pass(12, 8)})
    write_exr(f'{d}/luminance.exr', 12, 8, {'Y': [v / 100 for v in range(96)]})
    write_exr(f'{d}/red-only.exr', 12, 8, {'R': depth_pass(12, 8)})
    # Luminance-chroma, tiled and moved data windows: the reading corpus's
    # files, which need OpenEXR's tools or a hand-made header.
    made = os.path.join(here, '..', 'tests', 'data', 'corpus', 'made')
    for name in ('exr-yca-im.exr', 'exr-tiled-mipmap-exrmaketiled.exr',
                 'exr-datawindow-overhang-hand.exr', 'exr-multipart-exrmultipart.exr'):
        shutil.copy(os.path.join(made, name), d)


def pfm():
    import struct
    d = folder('pfm')
    png = os.path.join(work, 's.png')
    src(w=16, h=12).save(png)
    run('convert', png, '-endian', 'LSB', f'{d}/colour-lsb.pfm')
    run('convert', png, '-endian', 'MSB', f'{d}/colour-msb.pfm')
    vals = depth_pass(12, 8)
    with open(f'{d}/depth.pfm', 'wb') as f:
        f.write(b'Pf\n12 8\n-1.0\n' + struct.pack('<96f', *vals))
    with open(f'{d}/depth-be.pfm', 'wb') as f:
        f.write(b'Pf\n12 8\n1.0\n' + struct.pack('>96f', *vals))


def qoi():
    d = folder('qoi')
    png = os.path.join(work, 's.png')
    src('RGBA').save(png)
    for fmt in ('rgb24', 'rgba'):
        run('ffmpeg', '-nostdin', '-v', 'error', '-y', '-i', png, '-pix_fmt', fmt,
            f'{d}/{fmt}.qoi')
    # Long runs and a colour seen before: every kind of chunk.
    src('RGB', 64, 4).resize((64, 4), Image.NEAREST).save(png)
    run('ffmpeg', '-nostdin', '-v', 'error', '-y', '-i', png, '-pix_fmt', 'rgb24',
        f'{d}/runs.qoi')


def mpo():
    # Two small JPEG views joined by an MPF index in the first one's APP2
    # segment, in both byte orders, then indexes that lie.
    import io
    import struct
    d = folder('mpo')

    def view(shift):
        out = io.BytesIO()
        src().rotate(shift).save(out, 'JPEG', quality=80)
        return out.getvalue()
    left, right = view(0), view(3)

    def mpo_of(order='<', count=2, second_extra=0, second_format=0, entries_bytes=None,
               second_type=0x020002):
        tag = b'II*\0' if order == '<' else b'MM\0*'
        index = b'MPF\0' + tag + struct.pack(order + 'I', 8) + struct.pack(order + 'H', 3)
        index += struct.pack(order + 'HHI', 0xB000, 7, 4) + b'0100'
        index += struct.pack(order + 'HHII', 0xB001, 4, 1, count)
        index += struct.pack(order + 'HHII', 0xB002, 7,
                             count * 16 if entries_bytes is None else entries_bytes, 50)
        index += struct.pack(order + 'I', 0)
        segment = 2 + len(index) + 2 * 16
        first = len(left) + 2 + segment
        index += struct.pack(order + '4I', 0x20020002, first, 0, 0)
        index += struct.pack(order + '4I', second_type | second_format, len(right),
                             first - 10 + second_extra, 0)
        return left[:2] + b'\xff\xe2' + struct.pack('>H', segment) + index + left[2:] + right
    files = {
        'pair.mpo': mpo_of(),
        'pair-big-endian.mpo': mpo_of('>'),
        'offset-past-end.mpo': mpo_of(second_extra=1 << 30),
        'count-1000.mpo': mpo_of(count=1000),
        'list-too-long.mpo': mpo_of(entries_bytes=4096),
        'not-jpeg-format.mpo': mpo_of(second_format=0x01000000),
        'preview-not-view.mpo': mpo_of(second_type=0x010001),
        'plain.jpg': left,
    }
    bad = bytearray(mpo_of())
    bad[-len(right)] = ord('P')
    files['view-not-jpeg.mpo'] = bytes(bad)
    for name, data in files.items():
        with open(os.path.join(d, name), 'wb') as f:
            f.write(data)


def heif_stereo():
    # The spatial photo's boxes without their pictures (the group reader
    # reads nothing else), then groups that lie.
    import struct
    d = folder('heif_stereo')
    photo = open(os.path.join(here, '..', 'tests', 'data', 'depth',
                              'stereo-pair-no-depth.heic'), 'rb').read()
    at, boxes = 0, b''
    while at + 8 <= len(photo):
        size, kind = struct.unpack('>I4s', photo[at:at + 8])
        if kind == b'mdat':
            break
        boxes += photo[at:at + size]
        at += size
    ster = boxes.index(b'ster') + 4

    def forged(offset, value):
        return boxes[:ster + offset] + struct.pack('>I', value) + boxes[ster + offset + 4:]
    files = {
        'spatial-boxes.heic': boxes,
        'one-view.heic': forged(8, 1),
        'count-1000.heic': forged(8, 1000),
        'same-view.heic': forged(16, struct.unpack('>I', boxes[ster + 12:ster + 16])[0]),
    }
    for name, data in files.items():
        with open(os.path.join(d, name), 'wb') as f:
            f.write(data)


makers = {'jpeg': jpeg, 'tiff': tiff, 'webp': webp, 'heif': heif, 'jxl': jxl, 'jpeg2000': jpeg2000, 'exr': exr, 'pfm': pfm, 'qoi': qoi}
def depth_src(w=12, h=9):
    im = Image.new('L', (w, h))
    im.putdata([(x * 19 + y * 7) % 256 for y in range(h) for x in range(w)])
    return im


def gdepth():
    from depth_files import EXTENDED, gdepth_jpeg
    d = folder('gdepth')
    photo = src(w=16, h=12)
    cases = {
        'standard.jpg': dict(extended=False),
        'elements.jpg': dict(extended=False, elements=True),
        'extended.jpg': dict(chunk=100),
        'shuffled.jpg': dict(chunk=100, order='reversed'),
        'linear-turned.jpg': dict(fmt='RangeLinear', exif=6),
        'missing-part.jpg': dict(chunk=100, drop_chunk=0),
    }
    for name, options in cases.items():
        if options.get('order') == 'reversed':
            count = gdepth_jpeg(photo, depth_src(), chunk=100).count(EXTENDED)
            options['order'] = list(reversed(range(count)))
        with open(f'{d}/{name}', 'wb') as f:
            f.write(gdepth_jpeg(photo, depth_src(), **options))


def dynamic_depth():
    from depth_files import dynamic_depth_jpeg, jpeg_bytes, png_bytes
    d = folder('dynamic_depth')
    photo = src(w=16, h=12)
    gain = jpeg_bytes(src(w=6, h=4))
    depth = png_bytes(depth_src())
    cases = {
        'attributes.jpg': dict(items=[('image/jpeg', gain, 'android/gainmap', None, 0),
                                      ('image/png', depth, 'android/depthmap', None, 0)]),
        'elements.jpg': dict(items=[('image/png', depth, 'android/depthmap', None, 3)],
                             elements=True, primary_padding=2),
        'semantic.jpg': dict(items=[('image/png', depth, None, 'Depth', 0)], depth_uri=None),
        'progressive.jpg': dict(items=[('image/png', depth, 'android/depthmap', None, 0)],
                                progressive=True, exif=8),
        'cut.jpg': dict(items=[('image/png', depth, 'android/depthmap', None, 0)], cut=2),
    }
    for name, options in cases.items():
        with open(f'{d}/{name}', 'wb') as f:
            f.write(dynamic_depth_jpeg(photo, **options))


def heif_depth():
    from depth_files import depth_representation, heif_with_depth
    d = folder('heif_depth')
    photo = src(w=16, h=12)
    heif_with_depth(work, photo, depth_src(8, 6), f'{d}/depth.avif')
    heif_with_depth(work, photo, depth_src(8, 6), f'{d}/turned.avif', [('irot', 1), ('imir', 0)])
    deep = Image.new('I;16', (8, 6))
    deep.putdata([(x * 9000 + y * 3000) % 65536 for y in range(6) for x in range(8)])
    heif_with_depth(work, photo, deep, f'{d}/deep.avif', bits=12)
    heif_with_depth(work, photo, depth_src(8, 6), f'{d}/represented.avif',
                    representation=depth_representation(2, z_near=0.5, z_far=3.0))


def wide_depth():
    from wide_png import png16
    d = folder('wide_depth')
    def ramp(x, y):
        return (1000 + 37 * x + 101 * y,)
    def write(name, data):
        with open(f'{d}/{name}.png', 'wb') as f:
            f.write(data)
    write('grey', png16(12, 8, ramp))
    write('grey-adam7', png16(11, 9, ramp, interlace=True))
    write('grey-trns-exif', png16(8, 6, ramp, trns=1037, exif=6))
    write('grey-alpha', png16(8, 6, lambda x, y: (ramp(x, y)[0], 65535 - 999 * x), 4))
    write('rgb', png16(8, 6, lambda x, y: (x * 8000, y * 9000, 30000), 2))
    write('rgba-adam7', png16(9, 7, lambda x, y: (x * 7000, y * 9000, 30000, 60000 - x * y * 900),
                              6, interlace=True))


def model():
    import base64
    import json
    import struct
    d = folder('model')
    vertices = [(-1, -1, -1), (1, -1, -1), (1, 1, -1), (-1, 1, -1), (0, 0, 1)]
    faces = [(0, 1, 4), (1, 2, 4), (2, 3, 4), (3, 0, 4), (0, 2, 1), (0, 3, 2)]
    with open(f'{d}/pyramid.stl', 'wb') as f:
        f.write(b'\0' * 80 + struct.pack('<I', len(faces)))
        for t in faces:
            f.write(struct.pack('<3f', 0, 0, 0))
            for v in t:
                f.write(struct.pack('<3f', *vertices[v]))
            f.write(b'\0\0')
    with open(f'{d}/pyramid-ascii.stl', 'w') as f:
        f.write('solid p\n')
        for t in faces:
            f.write(' facet normal 0 0 0\n  outer loop\n')
            for v in t:
                f.write('   vertex %g %g %g\n' % vertices[v])
            f.write('  endloop\n endfacet\n')
        f.write('endsolid p\n')
    with open(f'{d}/pyramid.obj', 'w') as f:
        f.write('o p\n' + ''.join('v %g %g %g\n' % v for v in vertices))
        f.write('f 1 2 5\nf 2 3 5\nf 3 4 5\nf 4 1 5\nf 1 4 3 2\n')
    header = ('ply\nformat %s 1.0\nelement vertex 5\nproperty float x\nproperty float y\n'
              'property float z\nelement face 6\nproperty list uchar int vertex_indices\n'
              'end_header\n')
    with open(f'{d}/pyramid-ascii.ply', 'w') as f:
        f.write(header % 'ascii' + ''.join('%g %g %g\n' % v for v in vertices) +
                ''.join('3 %d %d %d\n' % t for t in faces))
    with open(f'{d}/pyramid.ply', 'wb') as f:
        f.write((header % 'binary_little_endian').encode())
        f.write(b''.join(struct.pack('<3f', *v) for v in vertices))
        f.write(b''.join(struct.pack('<B3i', 3, *t) for t in faces))
    buffer = b''.join(struct.pack('<3f', *v) for v in vertices) + \
        b''.join(struct.pack('<3I', *t) for t in faces)

    def document(uri):
        doc = {'asset': {'version': '2.0'}, 'scene': 0, 'scenes': [{'nodes': [0]}],
               'nodes': [{'children': [1], 'scale': [2, 1, 1]}, {'mesh': 0,
                                                                 'translation': [0, 1, 0]}],
               'meshes': [{'primitives': [{'attributes': {'POSITION': 0}, 'indices': 1}]}],
               'buffers': [{'byteLength': len(buffer)}],
               'bufferViews': [{'buffer': 0, 'byteOffset': 0, 'byteLength': 60},
                               {'buffer': 0, 'byteOffset': 60, 'byteLength': 72}],
               'accessors': [{'bufferView': 0, 'componentType': 5126, 'count': 5,
                              'type': 'VEC3', 'min': [-1, -1, -1], 'max': [1, 1, 1]},
                             {'bufferView': 1, 'componentType': 5125, 'count': 18,
                              'type': 'SCALAR'}]}
        if uri:
            doc['buffers'][0]['uri'] = uri
        return json.dumps(doc)
    with open(f'{d}/pyramid.gltf', 'w') as f:
        f.write(document('data:application/octet-stream;base64,' +
                         base64.b64encode(buffer).decode()))
    text = document(None).encode()
    text += b' ' * (-len(text) % 4)
    with open(f'{d}/pyramid.glb', 'wb') as f:
        f.write(b'glTF' + struct.pack('<II', 2, 12 + 8 + len(text) + 8 + len(buffer)))
        f.write(struct.pack('<I', len(text)) + b'JSON' + text)
        f.write(struct.pack('<I', len(buffer)) + b'BIN\0' + buffer)


def model_checks():
    import json
    import struct
    d = folder('model_checks')
    # The model seeds, then files whose structure lies.
    for name in os.listdir(os.path.join(here, 'corpus', 'model')):
        shutil.copy(os.path.join(here, 'corpus', 'model', name), d)
    vertex = ('element vertex 3\nproperty float x\nproperty float y\nproperty float z\n')
    corners = struct.pack('<9f', 0, 0, 0, 1, 0, 0, 0, 1, 0)

    def ply_face(count, kind='uint', code='<I'):
        return (('ply\nformat binary_little_endian 1.0\n' + vertex + 'element face 1\n'
                 'property list %s int vertex_indices\nend_header\n' % kind).encode() +
                corners + struct.pack(code, count) + struct.pack('<3i', 0, 1, 2))
    files = {
        'ply-count-2-31.ply': ply_face(2 ** 31),
        'ply-negative.ply': ply_face(-1, 'int', '<i'),
        'ply-ascii-long-list.ply': ('ply\nformat ascii 1.0\n' + vertex + 'element face 1\n'
                                    'property list uchar int vertex_indices\nend_header\n'
                                    '0 0 0\n1 0 0\n0 1 0\n3 0 1\n').encode(),
        'syntax.gltf': b'{"asset": {"version": "2.0"},\n "nodes": [{"mesh": 0,}]}',
        'version-1.gltf': b'{"asset": {"version": "1.0"}}',
        'version-1.glb': b'glTF' + struct.pack('<4I', 1, 20 + 29, 29, 0) +
                         b'{"asset": {"version": "1.0"}}',
    }

    def graph(nodes, count=3, sparse=None):
        accessor = {'componentType': 5126, 'count': count, 'type': 'VEC3'}
        if sparse:
            accessor['sparse'] = sparse
        return json.dumps({'asset': {'version': '2.0'}, 'scene': 0,
                           'scenes': [{'nodes': [0]}], 'nodes': nodes,
                           'meshes': [{'primitives': [{'attributes': {'POSITION': 0}}]}],
                           'accessors': [accessor]}).encode()
    leaf = {'mesh': 0}
    files['chain-1100.gltf'] = graph([{'children': [i + 1]} for i in range(1099)] + [leaf])
    files['cycle.gltf'] = graph([{'children': [1]}, {'children': [0], 'mesh': 0}])
    files['reuse-65536.gltf'] = graph([{'children': [i + 1, i + 1]} for i in range(16)] + [leaf],
                                      600)
    files['reuse-8m.gltf'] = graph([{'children': [i + 1, i + 1]} for i in range(23)] + [leaf])
    files['sparse-no-view.gltf'] = graph([leaf], 3, {'count': 1,
                                                     'indices': {'componentType': 5125},
                                                     'values': {'bufferView': 0}})
    # A skin without inverse bind matrices: valid, and dropped from the copy.
    skinned = json.loads(open(os.path.join(d, 'pyramid.gltf')).read())
    skinned['nodes'][1]['skin'] = 0
    skinned['skins'] = [{'joints': [0]}]
    skinned['materials'] = [{}]
    skinned['meshes'][0]['primitives'][0]['material'] = 0
    files['skinned.gltf'] = json.dumps(skinned).encode()
    for name, data in files.items():
        with open(os.path.join(d, name), 'wb') as f:
            f.write(data)


makers = {'jpeg': jpeg, 'tiff': tiff, 'webp': webp, 'heif': heif, 'jxl': jxl, 'jpeg2000': jpeg2000, 'exr': exr, 'pfm': pfm,
          'gdepth': gdepth, 'dynamic_depth': dynamic_depth, 'heif_depth': heif_depth,
          'model': model, 'model_checks': model_checks, 'wide_depth': wide_depth,
          'mpo': mpo, 'heif_stereo': heif_stereo}
for name in sys.argv[1:] or makers:
    makers[name]()
shutil.rmtree(work)
