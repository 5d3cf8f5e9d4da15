#!/usr/bin/python3
# Writes the fuzz seed corpora: small files of every variant each translator
# of ours reads, made with Pillow, ImageMagick and the formats' own tools.
# Run from anywhere: python3 fuzz/make_corpus.py (needs python3-pil,
# imagemagick, libjpeg-turbo-progs, webp, libheif-examples, libavif-bin,
# libjxl-tools, libopenjp2-tools, ffmpeg).
import os
import shutil
import subprocess
import sys
import tempfile

from PIL import Image

here = os.path.dirname(os.path.abspath(__file__))
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


makers = {'jpeg': jpeg, 'tiff': tiff, 'webp': webp, 'heif': heif, 'jxl': jxl, 'jpeg2000': jpeg2000, 'exr': exr, 'pfm': pfm, 'qoi': qoi}
for name in sys.argv[1:] or makers:
    makers[name]()
shutil.rmtree(work)
