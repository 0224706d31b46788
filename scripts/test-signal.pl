#!/usr/bin/perl
# Writes the test devices' counter signal forever as raw little-endian 32-bit floats:
# sample n of channel c is (c + 1)/16 + (n mod 4096)/65536, exact in float.
#   test-signal.pl [CHANNELS] [noise]
# "noise" writes instead 2 s (at 96 kHz) of noise at about -20 dBFS, again and again: a
# signal that no lossless coder makes much smaller, as music of many instruments.
use strict;
use warnings;
my $channels = shift // 2;
my $kind = shift // 'counter';
my @block;
if ($kind eq 'noise') {
  srand(7);
  push @block, (rand() + rand() - 1) * 0.25 for 1 .. 2 * 96000 * $channels;
} else {
  for my $n (0 .. 4095) {
    push @block, map { ($_ + 1) / 16 + $n / 65536 } 0 .. $channels - 1;
  }
}
my $bytes = pack('f<*', @block);
binmode STDOUT;
# A deep pipe (F_SETPIPE_SZ) rides out moments when this writer is not scheduled.
fcntl(STDOUT, 1031, 1 << 20);
$| = 1;
print $bytes while 1;
