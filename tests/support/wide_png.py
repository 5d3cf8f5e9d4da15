# PNGs of 16 bits a sample written by hand (zlib and struct only), in the
# layouts no common writer offers all of: any colour type, Adam7, a tRNS
# colour, an eXIf chunk; and the light a depth reader should see in them.
import struct
import zlib

CHANNELS = {0: 1, 2: 3, 4: 2, 6: 4}  # grey, RGB, grey + alpha, RGBA
ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
         (0, 1, 1, 2)]


def chunk(kind, body):
    return (struct.pack('>I', len(body)) + kind + body +
            struct.pack('>I', zlib.crc32(kind + body) & 0xFFFFFFFF))


def exif_block(orientation):
    """A little-endian TIFF structure with one entry: the orientation."""
    return (b'II*\0' + struct.pack('<I', 8) + struct.pack('<H', 1) +
            struct.pack('<HHII', 0x112, 3, 1, orientation) + struct.pack('<I', 0))


def png16(width, height, pixel, colour=0, interlace=False, trns=None, exif=None, ihdr=None):
    """pixel(x, y) gives a tuple of CHANNELS[colour] samples, 0..65535. trns
    is the transparent grey level (colour 0); exif an orientation; ihdr,
    when given, (width, height) the header claims instead."""
    def rows(x0, y0, dx, dy):
        out = b''
        for y in range(y0, height, dy):
            line = b''.join(struct.pack('>%dH' % CHANNELS[colour], *pixel(x, y))
                            for x in range(x0, width, dx))
            if line:
                out += b'\0' + line  # filter: none
        return out

    raw = b''.join(rows(*p) for p in ADAM7) if interlace else rows(0, 0, 1, 1)
    claimed = ihdr or (width, height)
    data = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', *claimed, 16, colour,
                                                               0, 0, int(interlace)))
    if trns is not None:
        data += chunk(b'tRNS', struct.pack('>H', trns))
    if exif is not None:
        data += chunk(b'eXIf', exif_block(exif))
    return data + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b'')


def light(samples, colour, trns=None):
    """The light, 0..1, of one pixel's samples: weighted channels times the
    opacity, a tRNS level transparent."""
    if colour == 0:
        grey, alpha = samples[0], 0 if samples[0] == trns else 65535
        r = g = b = grey
    elif colour == 4:
        r = g = b = samples[0]
        alpha = samples[1]
    elif colour == 2:
        (r, g, b), alpha = samples, 65535
    else:
        r, g, b, alpha = samples
    value = (0.299 * r + 0.587 * g + 0.114 * b) / 65535
    return min(max(value * alpha / 65535, 0.0), 1.0)
