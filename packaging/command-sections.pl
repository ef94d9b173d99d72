#!/usr/bin/perl
# Writes a help2man --include file with a section per command of a program that has commands
# (rangefinder-cli): its usage, its line from the program's list of commands, and its options,
# all taken from the program's own --help so that the page cannot drift from the option tables.
# Usage: command-sections.pl PROGRAM OUTPUT
use strict;
use warnings;

my ($program, $output) = @ARGV;
die "usage: $0 PROGRAM OUTPUT\n" unless defined $output;

sub help_of {
    my @words = @_;
    open(my $pipe, '-|', $program, @words, '--help') or die "cannot run $program: $!\n";
    local $/;
    my $text = <$pipe>;
    close($pipe) or die "$program @words --help failed\n";
    return $text;
}

# roff: backslashes and minus signs escaped, a line's leading dot or quote made plain, and
# characters beyond ASCII named, which help2man would otherwise turn into '?' in a C locale.
sub roff {
    my ($text) = @_;
    utf8::decode($text);
    $text =~ s/\\/\\e/g;
    $text =~ s/-/\\-/g;
    $text =~ s/^([.'])/\\&$1/mg;
    $text =~ s/([^\x00-\x7f])/sprintf('\\[u%04X]', ord($1))/ge;
    return $text;
}

# The items of a block of --help ("Options:", "Arguments:"): [term, text] in their order. The
# parser wraps its text at column 79, between words, and inside a word only when a line holds
# nothing else: that break is undone without a space.
sub items {
    my ($help, $heading) = @_;
    my ($block) = $help =~ /^\Q$heading\E\n(.*?)(?:\n\n|\n?\z)/ms or return ();
    my (@items, $width, $last);
    for my $line (split /\n/, $block) {
        if (my ($lead, $term, $text) = $line =~ /^(  (\S.*?)(?: {2,}|$))(.*)$/) {
            ($width, $last) = (79 - length($lead), $text);
            push @items, [$term, $text];
        } elsif (my ($more) = $line =~ /^\s+(\S.*)$/) {
            next unless @items;
            my $glued = $items[-1][1] eq '' || ($last !~ / / && length($last) >= $width);
            $items[-1][1] .= ($glued ? '' : ' ') . $more;
            $last = $more;
        }
    }
    return grep { $_->[0] !~ /^(?:-h, --help|-v, --version|--help-all)$/ } @items;
}

# An option in bold with its value in italics; an operand in italics.
sub term {
    my ($term) = @_;
    my ($name, $value) = $term =~ /^(-\S+)(?: <(.+)>)?$/ or return '\fI' . roff($term) . '\fR';
    return '\fB' . roff($name) . '\fR' . (defined $value ? ' \fI' . roff($value) . '\fR' : '');
}

my @commands = items(help_of(), 'Commands:');
die "$program --help lists no commands\n" unless @commands;
open(my $out, '>', $output) or die "cannot write $output: $!\n";
for (@commands) {
    my ($command, $summary) = @$_;
    my $help = help_of(split / /, $command);
    my ($usage) = $help =~ /^Usage: (.*)$/m;
    print $out '[' . uc($command) . "]\n";
    print $out '\fB' . roff($usage) =~ s/ \[/\\fR [/r . "\n.br\n" . roff($summary) . ($summary =~ /[.?!]$/ ? '' : '.') . "\n";
    for my $item (items($help, 'Arguments:'), items($help, 'Options:')) {
        print $out ".TP\n" . term($item->[0]) . "\n" . roff($item->[1]) . "\n";
    }
}
close($out) or die "cannot write $output: $!\n";
