# Photos with depth maps, made for the tests and the fuzz seeds: JPEGs with
# a GDepth map in their XMP (standard or extended), JPEGs in the Dynamic
# Depth layout (items after the image, listed in the XMP), and HEIF/AVIF
# files whose primary image has an auxiliary depth image.
#
# libheif 1.15's writer cannot attach a depth image, so heif-enc writes the
# photo and the map as two images and the boxes are then rewired here: an
# 'auxC' property naming the map a depth image, an 'auxl' reference to the
# photo, and the item locations moved by what the metadata grew.
import base64
import io
import math
import struct
import subprocess

from PIL import Image

STANDARD = b'http://ns.adobe.com/xap/1.0/\0'
EXTENDED = b'http://ns.adobe.com/xmp/extension/\0'
DEPTH_URN = b'urn:mpeg:mpegB:cicp:systems:auxiliary:depth\0'


def png_bytes(image):
    out = io.BytesIO()
    image.save(out, 'PNG')
    return out.getvalue()


def jpeg_bytes(image, **options):
    out = io.BytesIO()
    image.save(out, 'JPEG', **options)
    return out.getvalue()


def segment(marker, payload):
    return bytes([0xFF, marker]) + struct.pack('>H', len(payload) + 2) + payload


def with_segments(jpeg, segments):
    """The JPEG with segments inserted after its leading APP0/APP1 ones."""
    at = 2
    while jpeg[at] == 0xFF and jpeg[at + 1] in (0xE0, 0xE1):
        at += 2 + struct.unpack('>H', jpeg[at + 2:at + 4])[0]
    return jpeg[:at] + b''.join(segments) + jpeg[at:]


def description(namespaces, attributes='', body=''):
    ns = ''.join(f' xmlns:{p}="{u}"' for p, u in namespaces.items())
    return ('<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF '
            'xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
            f'<rdf:Description rdf:about=""{ns} {attributes}>{body}</rdf:Description>'
            '</rdf:RDF></x:xmpmeta>')


GDEPTH_NS = {'GDepth': 'http://ns.google.com/photos/1.0/depthmap/',
             'xmpNote': 'http://ns.adobe.com/xmp/note/'}


def gdepth_jpeg(photo, depth, extended=True, chunk=2000, order=None, elements=False,
                fmt='RangeInverse', data=None, guid='0123456789ABCDEF0123456789ABCDEF',
                declared_guid=None, full_length=None, drop_chunk=None, exif=None):
    """A JPEG of photo (a Pillow image) carrying depth (a Pillow image, 0 =
    near) as GDepth. data replaces the base64 text; order lists the extended
    chunks' indices in the order they are written."""
    encoded = data if data is not None else base64.b64encode(png_bytes(depth)).decode()
    props = {'Format': fmt, 'Near': '0.5', 'Far': '4.0', 'Mime': 'image/png'}
    if elements:
        body = ''.join(f'<GDepth:{k}>{v}</GDepth:{k}>' for k, v in props.items())
        attrs = ''
    else:
        body = ''
        attrs = ' '.join(f'GDepth:{k}="{v}"' for k, v in props.items())
    segments = []
    if extended:
        attrs += f' xmpNote:HasExtendedXMP="{declared_guid or guid}"'
        full = description(GDEPTH_NS, f'GDepth:Data="{encoded}"').encode()
        chunks = [(o, full[o:o + chunk]) for o in range(0, len(full), chunk)]
        if drop_chunk is not None:
            del chunks[drop_chunk]
        indices = order if order is not None else range(len(chunks))
        total = full_length if full_length is not None else len(full)
        segments = [segment(0xE1, EXTENDED + guid.encode() + struct.pack('>II', total, chunks[i][0]) +
                            chunks[i][1]) for i in indices]
    elif elements:
        body += f'<GDepth:Data>{encoded}</GDepth:Data>'
    else:
        attrs += f' GDepth:Data="{encoded}"'
    standard = segment(0xE1, STANDARD + description(GDEPTH_NS, attrs, body).encode())
    options = {'quality': 90}
    if exif is not None:
        e = Image.Exif()
        e[0x0112] = exif
        options['exif'] = e
    return with_segments(jpeg_bytes(photo, **options), [standard] + segments)


DD_NS = {'Device': 'http://ns.google.com/photos/dd/1.0/device/',
         'Container': 'http://ns.google.com/photos/1.0/container/',
         'Item': 'http://ns.google.com/photos/1.0/container/item/',
         'Camera': 'http://ns.google.com/photos/dd/1.0/camera/',
         'DepthMap': 'http://ns.google.com/photos/dd/1.0/depthmap/'}


def dynamic_depth_jpeg(photo, items, depth_uri='android/depthmap', elements=False,
                       fmt='RangeLinear', lengths=None, primary_padding=0, cut=0, exif=None,
                       camera=True, progressive=False):
    """A JPEG of photo followed by items, each (mime, bytes, uri, semantic,
    padding), listed in its Container:Directory; its Camera:DepthMap (none
    without camera, as in a motion photo) names depth_uri. lengths, when
    given, replaces the lengths written; cut takes bytes off the photo's
    end."""
    def item(mime, length, uri, semantic, padding):
        props = {'Mime': mime, 'Length': length, 'Padding': padding}
        if uri is not None:
            props['DataURI'] = uri
        if semantic is not None:
            props['Semantic'] = semantic
        if elements:
            inner = ''.join(f'<Item:{k}>{v}</Item:{k}>' for k, v in props.items())
            return (f'<rdf:li rdf:parseType="Resource"><Container:Item rdf:parseType="Resource">'
                    f'{inner}</Container:Item></rdf:li>')
        attrs = ' '.join(f'Item:{k}="{v}"' for k, v in props.items())
        return f'<rdf:li rdf:parseType="Resource"><Container:Item {attrs}/></rdf:li>'
    listed = [item('image/jpeg', 0, 'primary_image', 'Primary', primary_padding)]
    for i, (mime, data, uri, semantic, padding) in enumerate(items):
        length = lengths[i] if lengths is not None else len(data)
        listed.append(item(mime, length, uri, semantic, padding))
    uri = f' DepthMap:DepthURI="{depth_uri}"' if depth_uri is not None else ''
    depth_map = (f'<Camera:DepthMap DepthMap:Format="{fmt}" DepthMap:Near="0.3" '
                 f'DepthMap:Far="5.0" DepthMap:Units="Meters"{uri}/>')
    body = ('<Device:Container><Container:Directory><rdf:Seq>' + ''.join(listed) +
            '</rdf:Seq></Container:Directory></Device:Container>')
    if camera:
        body += ('<Device:Cameras><rdf:Seq><rdf:li rdf:parseType="Resource"><Device:Camera '
                 'rdf:parseType="Resource">' + depth_map +
                 '</Device:Camera></rdf:li></rdf:Seq></Device:Cameras>')
    standard = segment(0xE1, STANDARD + description(DD_NS, '', body).encode())
    options = {'quality': 90, 'progressive': progressive}
    if exif is not None:
        e = Image.Exif()
        e[0x0112] = exif
        options['exif'] = e
    data = with_segments(jpeg_bytes(photo, **options), [standard])
    if cut:
        data = data[:-cut]  # the primary's scans never end
    data += b'\0' * primary_padding
    for mime, payload, uri, semantic, padding in items:
        data += payload + b'\0' * padding
    return data


# --- HEIF --------------------------------------------------------------------

def box(kind, body):
    return struct.pack('>I', 8 + len(body)) + kind + body


def full_box(kind, version, flags, body):
    return box(kind, bytes([version]) + flags.to_bytes(3, 'big') + body)


def children(data, start, end):
    """(type, box start, body start, box end) for each box in data[start:end]."""
    at = start
    while at + 8 <= end:
        size, kind = struct.unpack('>I4s', data[at:at + 8])
        header = 8
        if size == 1:
            size = struct.unpack('>Q', data[at + 8:at + 16])[0]
            header = 16
        elif size == 0:
            size = end - at
        yield kind, at, at + header, at + size
        at += size


def find(data, start, end, kind):
    for k, s, b, e in children(data, start, end):
        if k == kind:
            return s, b, e
    raise ValueError(kind)


def shifted_iloc(body, delta):
    """An 'iloc' body (after version and flags) with every file offset moved."""
    version = body[0]
    out = bytearray(body)
    sizes = body[4]
    offset_size, length_size = sizes >> 4, sizes & 15
    base_size = body[5] >> 4
    index_size = body[5] & 15 if version in (1, 2) else 0
    at = 6
    id_size = 2 if version < 2 else 4
    count = int.from_bytes(body[at:at + id_size], 'big')
    at += id_size

    def shift(pos, size):
        if size:
            v = int.from_bytes(out[pos:pos + size], 'big') + delta
            out[pos:pos + size] = v.to_bytes(size, 'big')

    for _ in range(count):
        at += id_size
        method = 0
        if version in (1, 2):
            method = int.from_bytes(body[at:at + 2], 'big') & 15
            at += 2
        at += 2  # data reference index
        base_at = at
        at += base_size
        extents = int.from_bytes(body[at:at + 2], 'big')
        at += 2
        if method == 0:
            if base_size:
                shift(base_at, base_size)
            else:
                for e in range(extents):
                    shift(at + e * (index_size + offset_size + length_size) + index_size,
                          offset_size)
        at += extents * (index_size + offset_size + length_size)
    return bytes(out)


class Bits:
    """Bits written most significant first, as H.265 writes its syntax."""

    def __init__(self):
        self.bits = []

    def put(self, value, count):
        self.bits += [(value >> (count - 1 - i)) & 1 for i in range(count)]

    def ue(self, value):
        """Exp-Golomb, unsigned."""
        code = value + 1
        length = code.bit_length()
        self.put(0, length - 1)
        self.put(code, length)

    def bytes(self):
        bits = self.bits + [1] + [0] * (-(len(self.bits) + 1) % 8)  # trailing bits
        return bytes(int(''.join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))


def depth_representation(kind, z_near=None, z_far=None, d_min=None, d_max=None):
    """The 'auxC' subtype that carries a depth map's representation: an SEI
    NAL unit with the depth representation information message (177).
    kind: 0 uniform inverse Z, 1 uniform disparity, 2 uniform Z, 3
    nonuniform disparity. Values are positive, written with a 16-bit
    mantissa."""
    values = [z_near, z_far, d_min, d_max]
    bits = Bits()
    for v in values:
        bits.put(v is not None, 1)
    bits.ue(kind)
    if d_min is not None or d_max is not None:
        bits.ue(0)  # disparity reference view
    for v in values:
        if v is None:
            continue
        exponent = math.floor(math.log2(v)) + 31
        mantissa = round((v / 2.0 ** (exponent - 31) - 1) * (1 << 16))
        bits.put(0, 1)  # sign
        bits.put(exponent, 7)
        bits.put(16 - 1, 5)
        bits.put(mantissa, 16)
    payload = bits.bytes()
    nal = bytes([39 << 1, 1, 177, len(payload)]) + payload
    nal = struct.pack('>I', len(nal)) + nal
    return struct.pack('>I', len(nal)) + nal


def attach_depth(data, transforms=(), representation=b''):
    """Item 2 of a two-image AVIF made the depth image of item 1; transforms
    ('irot', n) or ('imir', axis) are added to item 1, in that order;
    representation (depth_representation()) goes into the 'auxC'."""
    meta_s, meta_b, meta_e = find(data, 0, len(data), b'meta')
    body_start = meta_b + 4  # version and flags
    assert b'iref' not in [k for k, *_ in children(data, body_start, meta_e)]
    iprp_s, iprp_b, iprp_e = find(data, body_start, meta_e, b'iprp')
    ipco_s, ipco_b, ipco_e = find(data, iprp_b, iprp_e, b'ipco')
    ipma_s, ipma_b, ipma_e = find(data, iprp_b, iprp_e, b'ipma')
    count = len(list(children(data, ipco_b, ipco_e)))
    added = [full_box(b'auxC', 0, 0, DEPTH_URN + representation)]
    for kind, value in transforms:
        added.append(box(kind.encode(), bytes([value])))
    ipco = box(b'ipco', data[ipco_b:ipco_e] + b''.join(added))
    # Version 0 'ipma' with one-byte indices: the associations per item.
    ipma = data[ipma_b:ipma_e]
    version, flags = ipma[0], int.from_bytes(ipma[1:4], 'big')
    assert version == 0 and not flags & 1
    entries = struct.unpack('>I', ipma[4:8])[0]
    at, rebuilt = 8, []
    for _ in range(entries):
        item, n = struct.unpack('>HB', ipma[at:at + 3])
        assoc = list(ipma[at + 3:at + 3 + n])
        at += 3 + n
        if item == 2:
            assoc.append(0x80 | (count + 1))
        if item == 1:
            assoc += [0x80 | (count + 2 + i) for i in range(len(transforms))]
        rebuilt.append(struct.pack('>HB', item, len(assoc)) + bytes(assoc))
    ipma = full_box(b'ipma', 0, 0, struct.pack('>I', entries) + b''.join(rebuilt))
    iprp = box(b'iprp', data[iprp_b:ipco_s] + ipco + data[ipco_e:ipma_s] + ipma +
               data[ipma_e:iprp_e])
    iref = full_box(b'iref', 0, 0, box(b'auxl', struct.pack('>HHH', 2, 1, 1)))
    inner = data[body_start:iprp_s] + iprp + data[iprp_e:meta_e]
    grown = (len(inner) + len(iref)) - (meta_e - body_start)
    pieces, at = [], body_start
    for k, s, b, e in children(data, body_start, meta_e):
        if k == b'iloc':
            pieces.append(full_box(b'iloc', data[b], int.from_bytes(data[b + 1:b + 4], 'big'),
                                   shifted_iloc(data[b:e], grown)[4:]))
        elif k == b'iprp':
            pieces.append(iprp)
        else:
            pieces.append(data[s:e])
    meta = full_box(b'meta', data[meta_b], 0, b''.join(pieces) + iref)
    assert len(meta) - (meta_e - meta_s) == grown
    return data[:meta_s] + meta + data[meta_e:]


def heif_with_depth(folder, photo, depth, out, transforms=(), bits=None, representation=b''):
    """photo and depth (Pillow images) written losslessly as one AVIF file,
    depth the photo's auxiliary depth image. bits: the map's bit depth when
    depth is a 16-bit image; representation: see depth_representation()."""
    p, d = f'{folder}/photo-src.png', f'{folder}/depth-src.png'
    photo.save(p)
    depth.save(d)
    two = f'{folder}/two.avif'
    args = ['heif-enc', '-A', '-L', '-o', two]
    if bits is not None:
        args += ['-b', str(bits)]
    subprocess.run(args + [p, d], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(two, 'rb') as f:
        data = f.read()
    with open(out, 'wb') as f:
        f.write(attach_depth(data, transforms, representation))
