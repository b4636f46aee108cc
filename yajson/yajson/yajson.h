#pragma once
// The whole JSON library: values and arena, parser, serializer.

#include <yajson/arena.h>
#include <yajson/errors.h>
#include <yajson/hash.h>
#include <yajson/value.h>
#include <yajson/parser.h>
#include <yajson/serializer.h>
