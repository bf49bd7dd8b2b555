#!/usr/bin/perl
use strict;
print "hello\n";
