#!/usr/bin/python3
# Makes the long-tail test pictures with other programs (Pillow, ImageMagick)
# and a few by hand where neither writes the variant, and beside each one the
# pixels Pillow decodes from it as a PAM (RGBA) file.
import os, struct, subprocess
from PIL import Image, ImageOps

here = os.path.dirname(os.path.abspath(__file__))
os.chdir(here)
W, H = 37, 23
base = Image.new('RGB', (W, H))
px = base.load()
for y in range(H):
    for x in range(W):
        px[x, y] = ((x * 7) % 256, (y * 11) % 256, (x * y) % 256)
base.save('/tmp/longtail-base.png')
pal16 = base.quantize(16)
pal200 = base.quantize(200)

def im(args, out):
    subprocess.run(['convert', '/tmp/longtail-base.png'] + args + [out], check=True)

base.save('rgb24.bmp')
pal200.save('pal8.bmp')
base.convert('1').save('mono.bmp')
im(['-define', 'bmp:subtype=RGB565'], 'rgb565.bmp')
im(['-define', 'bmp:subtype=RGB555'], 'rgb555.bmp')
im(['-alpha', 'set', '-channel', 'A', '-fx', 'i/w', '+channel'], 'argb32.bmp')
im(['-colors', '200', '-compress', 'RLE'], 'bmp3:rle8.bmp')
im([], 'bmp2:os2.bmp')

# RLE4: runs of two alternating indices, one row at a time, bottom-up.
idx = pal16.load()
rows = b''
for y in range(H - 1, -1, -1):
    x = 0
    while x < W:
        n = min(2, W - x)
        a = idx[x, y]
        b2 = idx[x + 1, y] if n == 2 else 0
        rows += bytes([n, (a << 4) | b2])
        x += n
    rows += b'\x00\x00'
rows += b'\x00\x01'
palette = b''.join(bytes([c[2], c[1], c[0], 0]) for c in
                   [tuple(pal16.getpalette()[i * 3:i * 3 + 3]) for i in range(16)])
info = struct.pack('<IiiHHIIiiII', 40, W, H, 1, 4, 2, len(rows), 2835, 2835, 16, 16)
offset = 14 + 40 + 64
open('rle4.bmp', 'wb').write(b'BM' + struct.pack('<IHHI', offset + len(rows), 0, 0, offset)
                             + info + palette + rows)

base.save('raw.tga')
base.save('rle.tga', rle=True)
base.save('id.tga', id_section=b'an image ID field')
base.save('bottom-left.tga', orientation=-1)
base.convert('L').save('grey.tga')
base.convert('L').save('grey-rle.tga', rle=True)
pal200.save('palette.tga')
pal200.save('palette-rle.tga', rle=True)
base.convert('RGBA').save('rgba.tga')

# 16-bit (5-5-5) TGA, top-right origin: written by hand.
data = b''
for y in range(H):
    for x in range(W - 1, -1, -1):
        r, g, b2 = base.getpixel((x, y))
        v = ((r >> 3) << 10) | ((g >> 3) << 5) | (b2 >> 3)
        data += struct.pack('<H', v)
open('rgb16-top-right.tga', 'wb').write(
    struct.pack('<BBBHHBHHHHBB', 0, 0, 2, 0, 0, 0, 0, 0, W, H, 16, 0x30) + data)

im(['-compress', 'None'], 'psd:raw.psd')
im(['-compress', 'RLE'], 'rle.psd')
im(['-define', 'dds:compression=dxt1', '-define', 'dds:mipmaps=0'], 'dxt1.dds')
im(['-alpha', 'set', '-define', 'dds:compression=dxt5', '-define', 'dds:mipmaps=0'], 'dxt5.dds')
im(['-define', 'dds:compression=none', '-define', 'dds:mipmaps=0'], 'plain.dds')
base.save('rgb.sgi')
base.convert('L').save('grey.sgi')
im(['-compress', 'RLE'], 'rle.sgi')
base.save('rgb.pcx')
pal200.save('palette.pcx')
base.save('icons.ico', sizes=[(16, 16), (32, 32), (48, 48)])
base.save('rgb.ppm')
base.convert('L').save('grey.pgm')
base.convert('1').save('mono.pbm')
base.convert('1').save('mono.xbm')
base.save('rgb.gif')
base.quantize(64).save('interlaced.gif', interlace=True)
rgba = base.convert('RGBA')
rgba.putpixel((3, 4), (0, 0, 0, 0))
rgba.quantize(32).save('transparent.gif', transparency=0)

# DIB: a BMP without its file header, as Pillow writes it.
base.save('rgb.dib')
pal200.save('pal8.dib')
# 1-bit PCX: a set bit is white, whatever the palette in its header says.
base.convert('1').save('mono.pcx')

# PAM (P7), which Pillow does not read: written by hand, with the pixels
# they hold beside them.
def pam(name, picture, tupltype, sixteen=False):
    depth = len(picture.getbands())
    data = picture.tobytes()
    if sixteen:  # each level v as v * 257, big-endian
        data = b''.join(struct.pack('>H', v * 257) for v in data)
    with open(name, 'wb') as out:
        out.write(b'P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL %d\nTUPLTYPE %s\nENDHDR\n'
                  % (W, H, depth, 65535 if sixteen else 255, tupltype) + data)
    write_reference(name, picture)


def write_reference(name, picture):
    picture = picture.convert('RGBA')
    with open(name + '.pam', 'wb') as out:
        out.write(b'P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n'
                  % picture.size)
        out.write(picture.tobytes())


ramp = base.convert('RGBA')
ramp.putalpha(Image.frombytes('L', (W, H), bytes((x * 7 + y) % 256 for y in range(H)
                                                 for x in range(W))))
pam('grey.pam', base.convert('L'), b'GRAYSCALE')
pam('grey-alpha.pam', ramp.convert('LA'), b'GRAYSCALE_ALPHA')
pam('rgb.pam', base, b'RGB')
pam('rgba.pam', ramp, b'RGB_ALPHA')
pam('rgba16.pam', ramp, b'RGB_ALPHA', sixteen=True)


# DDS block layouts our own reader decodes: random blocks (the format gives
# every 16 bytes a picture), under the four-character codes and the DX10
# header. Pillow reads BC1 to BC3 only under their old codes: the DX10 files'
# references come from a twin with the old code.
import random
rng = random.Random(37)
referenced = set()  # pictures whose reference is written already


def dds(name, blocks, fourcc, dxgi=None):
    pf = struct.pack('<II4sIIIII', 32, 0x4, fourcc, 0, 0, 0, 0, 0)
    header = struct.pack('<4sIIIIIII', b'DDS ', 124, 0x1007, H, W, 0, 0, 1)
    header += b'\0' * 44 + pf + struct.pack('<IIIII', 0x1000, 0, 0, 0, 0)
    if dxgi is not None:
        header += struct.pack('<IIIII', dxgi, 3, 0, 1, 0)
    with open(name, 'wb') as out:
        out.write(header + blocks)


def random_blocks(size):
    return bytes(rng.getrandbits(8) for _ in range(((W + 3) // 4) * ((H + 3) // 4) * size))


for code, dxgi, size in ((b'DXT1', 71, 8), (b'DXT3', 74, 16), (b'DXT5', 77, 16)):
    blocks = random_blocks(size)
    twin = code.decode().lower() + '-twin.dds'
    dds(twin, blocks, code)
    dds(code.decode().lower() + '-dx10.dds', blocks, b'DX10', dxgi)
    write_reference(code.decode().lower() + '-dx10.dds', Image.open(twin))
    referenced.add(code.decode().lower() + '-dx10.dds')
    os.remove(twin)
dds('bc4.dds', random_blocks(8), b'ATI1')
dds('bc5.dds', random_blocks(16), b'ATI2')
dds('bc5-dx10.dds', random_blocks(16), b'DX10', 83)
dds('bc6h.dds', random_blocks(16), b'DX10', 95)
# A first byte 0 is BC7's reserved mode: zeros, as the format defines it,
# where Pillow gives other pixels.
bc7 = bytearray(random_blocks(16))
for i in range(0, len(bc7), 16):
    bc7[i] = bc7[i] or 0x40
dds('bc7.dds', bytes(bc7), b'DX10', 98)
dds('rgba8-dx10.dds', bytes(rng.getrandbits(8) for _ in range(W * H * 4)), b'DX10', 28)
os.remove('/tmp/longtail-base.png')
for name in sorted(os.listdir('.')):
    if name.endswith(('.py', '.pam')) or name in referenced:
        continue  # PAM pictures have their reference already
    picture = Image.open(name)
    if getattr(picture, "n_frames", 1) > 1 and not name.endswith(".psd"):
        picture.seek(0)
    if name.endswith('.ico'):
        picture = picture.ico.getimage(max(picture.ico.sizes()))
    if name.endswith('.xbm'):
        # X11 and its viewers show a set bit black; Pillow shows it white.
        picture = ImageOps.invert(picture.convert('L'))
    write_reference(name, picture)
