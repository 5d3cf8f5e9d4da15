#!/usr/bin/python3
"""How scripts/corpus-references.py judges readings, on made-up readings:
which decoders count as agreeing, and the verdict they make."""
import importlib.util
import os
import sys
import unittest

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, '..', '..', 'scripts', 'corpus-references.py')
loader_info = importlib.util.spec_from_file_location('corpus_references', SCRIPT)
refs = importlib.util.module_from_spec(loader_info)
loader_info.loader.exec_module(refs)


def picture(colour=(10, 20, 30, 255), size=(4, 3), changes=()):
    im = Image.new('RGBA', size, colour)
    for xy, value in changes:
        im.putpixel(xy, value)
    return im


class Agreement(unittest.TestCase):
    CASES = [
        # mode, second picture's change at (0, 0), agree?
        ('exact', (10, 20, 30, 255), True),
        ('exact', (11, 20, 30, 255), False),
        ('near', (11, 19, 31, 254), True),
        ('near', (12, 20, 30, 255), False),
        # One pixel of twelve far off is within lossy's share, not its mean.
        ('lossy', (10, 20, 31, 255), True),
        ('lossy', (210, 20, 30, 255), False),
    ]

    def test_modes(self):
        for mode, change, expected in self.CASES:
            with self.subTest(mode=mode, change=change):
                self.assertEqual(expected, refs.agree(picture(), picture(changes=[((0, 0),
                                                                                    change)]),
                                                      mode))

    def test_sizes_never_agree(self):
        for mode in ('exact', 'near', 'lossy', 'premultiplied'):
            self.assertFalse(refs.agree(picture(), picture(size=(3, 4)), mode))

    def test_colour_under_alpha_zero(self):
        a = picture(changes=[((1, 1), (255, 0, 0, 0))])
        b = picture(changes=[((1, 1), (0, 255, 0, 0))])
        self.assertTrue(refs.agree(a, b, 'exact'))
        self.assertFalse(refs.agree(a, b, 'exact', with_hidden=True))

    def test_premultiplied_forgives_colour_under_little_alpha(self):
        # Straight colours rounded back from premultiplied ones differ wildly
        # where alpha is 1; what shows does not.
        a = picture(changes=[((2, 2), (200, 0, 0, 1))])
        b = picture(changes=[((2, 2), (255, 0, 0, 1))])
        self.assertTrue(refs.agree(a, b, 'premultiplied'))
        self.assertFalse(refs.agree(a, b, 'near'))


class Verdict(unittest.TestCase):
    def test_table(self):
        good, other = picture(), picture((90, 20, 30, 255))
        cases = [
            # readings, refusals, verdict, group
            ({'a': good, 'b': good, 'c': other}, {}, 'read', 'a,b'),
            ({'a': good, 'b': good}, {'c': 'refused: x'}, 'read', 'a,b'),
            ({'a': good}, {}, 'read', 'a'),  # the only decoder of its format
            ({'a': good}, {'b': 'refused: x'}, 'split', '-'),
            ({'a': good, 'b': good}, {'c': 'refused', 'd': 'refused'}, 'split', '-'),
            ({'a': good, 'b': other}, {}, 'disagree', '-'),
            ({}, {'a': 'refused', 'b': 'refused'}, 'refuse', '-'),
            ({}, {}, 'disagree', '-'),
        ]
        for pictures, refusals, verdict, group in cases:
            with self.subTest(pictures=sorted(pictures), refusals=sorted(refusals)):
                row = refs.verdict_of(pictures, refusals, 'exact')
                self.assertEqual(verdict, row['verdict'])
                self.assertEqual(group, row['group'])

    def test_two_groups_sharing_a_member_leave_it_open(self):
        # b is within one level of a and of c, a and c are two apart.
        a = picture((10, 20, 30, 255))
        b = picture((11, 20, 30, 255))
        c = picture((12, 20, 30, 255))
        self.assertEqual('disagree', refs.verdict_of({'a': a, 'b': b, 'c': c}, {},
                                                     'near')['verdict'])

    def test_digests_follow_the_transparent_colour_rule(self):
        a = picture(changes=[((0, 0), (255, 0, 0, 0))])
        b = picture(changes=[((0, 0), (0, 255, 0, 0))])
        row = refs.verdict_of({'a': a, 'b': b}, {}, 'exact')
        self.assertEqual(('read', 'free'), (row['verdict'], row['hidden']))
        digests = dict(pair.split('=') for pair in row['digests'].split(','))
        self.assertEqual(digests['a'], digests['b'])
        self.assertEqual(refs.digest(refs.masked(a)), digests['a'])
        row = refs.verdict_of({'a': a, 'b': a.copy()}, {}, 'exact')
        self.assertEqual('kept', row['hidden'])
        self.assertEqual(refs.digest(a), row['digests'].split(',')[0].split('=')[1])


class Netpbm(unittest.TestCase):
    def test_levels_scale_to_8_bits(self):
        cases = [
            (b'P5\n2 1\n15\n\x00\x0f', [(0, 0, 0, 255), (255, 255, 255, 255)]),
            (b'P5 # a comment\n2 1\n255\n\x07\x80', [(7, 7, 7, 255), (128, 128, 128, 255)]),
            (b'P6\n1 1\n65535\n\x12\x34\xff\xff\x00\x00', [(0x12, 255, 0, 255)]),
            (b'P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n'
             b'\x40\x80', [(0x40, 0x40, 0x40, 0x80)]),
        ]
        for data, expected in cases:
            with self.subTest(data=data[:2]):
                self.assertEqual(expected, list(refs.parse_pnm(data).getdata()))

    def test_short_data_is_refused(self):
        with self.assertRaises(refs.Refused):
            refs.parse_pnm(b'P6\n2 2\n255\n\x00\x00\x00')


class TiffSamples(unittest.TestCase):
    """The unpacking the TIFF reference relies on, where imagecodecs is absent."""

    def setUp(self):
        try:
            import numpy
        except ImportError:
            self.skipTest('no numpy')
        self.numpy = numpy

    def test_packed_samples_restart_at_each_run(self):
        cases = [
            # bits, samples a run, bytes, values
            (2, 3, b'\x1b\xc0', [0, 1, 2, 3, 0, 0]),
            (6, 2, b'\xfc\x10\x04\x00', [63, 1, 1, 0]),
            (10, 1, b'\xff\xc0\x00\x40', [1023, 1]),
            (12, 3, b'\x80\x00\x01\xff\xf0', [2048, 1, 4095]),
        ]
        for bits, run, data, values in cases:
            with self.subTest(bits=bits):
                got = refs.unpack_samples(data, 'uint16', bits, run)
                self.assertEqual(values, got.tolist())

    def test_floating_point_predictor_is_undone(self):
        np = self.numpy
        values = np.array([[[0.0, 1.0], [0.5, -2.25], [3.0e-5, 1.0e7]]], '<f4')  # 1 row, 3 x 2
        # As libtiff writes them: bytes in planes, most significant first,
        # each then differenced from the one a pixel (2 samples) before.
        planes = values.astype('>f4').view(np.uint8).reshape(1, 6, 4).transpose(0, 2, 1)
        row = planes.reshape(1, 24, 1).astype(np.int16)
        coded = row.copy()
        coded[:, 2:] = (row[:, 2:] - row[:, :-2]) % 256
        stored = coded.astype(np.uint8).reshape(-1).view('<f4').reshape(values.shape)
        np.testing.assert_array_equal(values, refs.float_unpredict(stored, axis=-2))


class Sniffing(unittest.TestCase):
    def test_magic_numbers(self):
        import tempfile
        cases = [
            ('a.bin', b'\x89PNG\r\n\x1a\n', 'png'),
            ('a.bin', b'\x00\x00\x00\x1cftypavif\x00\x00\x00\x00mif1avif', 'avif'),
            ('a.bin', b'\x00\x00\x00\x18ftypheic\x00\x00\x00\x00mif1heic', 'heif'),
            ('a.tga', b'\x00\x00\x02\x00\x00\x00\x00\x00', 'tga'),  # begins like a cursor
            ('a.cur', b'\x00\x00\x02\x00\x01\x00', 'cur'),
            ('a.dib', b'\x28\x00\x00\x00', 'dib'),
            ('a.bin', b'qoif', 'qoi'),
            ('a.bin', b'P7\nWIDTH', 'pam'),
        ]
        with tempfile.TemporaryDirectory() as folder:
            for name, head, fmt in cases:
                path = os.path.join(folder, name)
                with open(path, 'wb') as f:
                    f.write(head + b'\x00' * 32)
                with self.subTest(name=name, fmt=fmt):
                    self.assertEqual(fmt, refs.sniff(path))


if __name__ == '__main__':
    sys.exit(unittest.main())
