#!/usr/bin/python3
# Writes the seeds of fuzz_dispatch: one or two files of every format the
# other corpora hold, and small files of the formats only Qt's plugins
# decode (MNG, XPM, WBMP), each behind the byte that picks the file name's
# extension (0: none). Run after make_corpus.py: python3 fuzz/make_dispatch_corpus.py
import os
import shutil
import struct
import zlib

here = os.path.dirname(os.path.abspath(__file__))
corpus = os.path.join(here, 'corpus')
out = os.path.join(corpus, 'dispatch')
shutil.rmtree(out, ignore_errors=True)
os.makedirs(out)

# The extension each seed is read under: its own where it breaks a tie.
NAMES = {'tga': 1, 'ico': 2, 'cur': 3, 'png': 4, 'pcx': 5, 'mng': 6, 'wbmp': 7}


def seed(name, data):
    selector = NAMES.get(name.rsplit('.', 1)[-1], 0)
    with open(os.path.join(out, name), 'wb') as f:
        f.write(bytes([selector]) + data)


for family in sorted(os.listdir(corpus)):
    if family in ('dispatch', 'webp_write'):
        continue
    files = sorted(os.listdir(os.path.join(corpus, family)))
    for name in files[:2] if family != 'magick' else files:
        with open(os.path.join(corpus, family, name), 'rb') as f:
            seed(family + '-' + name, f.read())


def chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))


raw = b''.join(b'\0' + bytes(x * 16 for x in range(16)) for y in range(16))
seed('grey.mng', b'\x8aMNG\r\n\x1a\n' + chunk(b'MHDR', struct.pack('>7I', 16, 16, 1, 0, 0, 0, 1)) +
     chunk(b'IHDR', struct.pack('>II', 16, 16) + bytes([8, 0, 0, 0, 0])) +
     chunk(b'IDAT', zlib.compress(raw)) + chunk(b'IEND', b'') + chunk(b'MEND', b''))
seed('two.xpm', b'/* XPM */\nstatic char *x[] = {\n"4 2 2 1",\n"a c #ff0000",\n"b c None",\n'
     b'"abab",\n"baba"\n};\n')
seed('mono.wbmp', bytes([0, 0, 16, 4]) + bytes([0xA5, 0x5A]) * 4)
with open(os.path.join(corpus, 'png', 'rgba8.png'), 'rb') as f:
    png = f.read()
entry = b'ic07' + struct.pack('>I', 8 + len(png)) + png
seed('one.icns', b'icns' + struct.pack('>I', 8 + len(entry)) + entry)
