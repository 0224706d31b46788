#!/usr/bin/perl
# notify-socket.pl PATH: systemd's side of sd_notify for tests. Receives datagrams on
# the Unix socket PATH and prints each as "TIME_NS MESSAGE" (epoch nanoseconds), until
# STOPPING=1 or 60 seconds without a message.
use strict;
use warnings;
use IO::Socket::UNIX;
use Socket qw(SOCK_DGRAM);
use Time::HiRes qw(clock_gettime CLOCK_REALTIME);

my $path = shift or die "usage: notify-socket.pl PATH\n";
unlink $path;
my $socket = IO::Socket::UNIX->new(Type => SOCK_DGRAM, Local => $path) or die "notify-socket.pl: $path: $!\n";
chmod 0666, $path;  # the service runs as its own user
$| = 1;
print "LISTENING\n";
local $SIG{ALRM} = sub { exit 1 };
while (1) {
    alarm 60;
    defined $socket->recv(my $message, 4096) or die "notify-socket.pl: $!\n";
    my $now = sprintf '%.0f', clock_gettime(CLOCK_REALTIME) * 1e9;
    print "$now $_\n" for split /\n/, $message;
    exit 0 if $message =~ /^STOPPING=1$/m;
}
