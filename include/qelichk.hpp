/// \file
/// qelichk: checks of UTF-16 strings against XML 1.0 (character data, Name,
/// qualified name, NCName, encoding name) and the conversion of raw item names
/// into XML names and back.
///
/// None of these functions needs the XML platform to be started; they read
/// only Xerces-C's constant character table and are safe to call from any
/// thread.
///
/// The reporting checks return whether the string is valid. When it is not
/// and `message` is not null, the message names the first offending character
/// and its 0-based position in code units, for example "Invalid character 0xB
/// at pos 3.". A message is plain ASCII and at most 45 bytes with its
/// terminator (positions are written in full; one beyond 10^11 units would
/// make it longer).
///
/// QelError is declared in qelerror.hpp, the return codes in qeldom.hpp.
#pragma once

#include "qeldomapi.hpp"
#include "qelunistring.hpp"

// --- reporting checks --------------------------------------------------------------

/// Whether `unit` is an XML 1.0 name character; surrogate units never are.
QELDOM_API bool qelIsXmlNameChar(XMLCh unit);

/// Whether the first `length` units of `text` are XML character data; on
/// failure, the reason in `message` (see the header's description). Nothing
/// at or beyond `length` is read; a length of 0 is valid even for a null
/// text, and a null text with a length above 0 fails at position 0.
QELDOM_API bool qelCheckXmlText(const XMLCh* text, unsigned long length, char* message);

///@{
/// Whether the zero-terminated `name` is a Name (qelCheckXmlName), a
/// qualified name, prefix:local or local (qelCheckXmlQName), an NCName
/// (qelCheckXmlNcName) or an EncName (qelCheckXmlEncName); on failure, the
/// reason in `message` (see the header's description). A null or empty
/// string fails at position 0. Each code unit is judged on its own, so a
/// surrogate pair is never part of a name. A name that ends where a character
/// is still required ("a:") fails at its end, with the terminator reported as
/// character 0x0.
QELDOM_API bool qelCheckXmlName(const XMLCh* name, char* message);
QELDOM_API bool qelCheckXmlQName(const XMLCh* name, char* message);
QELDOM_API bool qelCheckXmlNcName(const XMLCh* name, char* message);
QELDOM_API bool qelCheckXmlEncName(const XMLCh* name, char* message);
///@}

/// Accepts every URI (namespace names are compared as plain strings); the
/// `message` buffer is left untouched.
QELDOM_API bool qelCheckXmlUri(const XMLCh* uri, char* message);

// --- throwing checks -----------------------------------------------------------------

/// Returns `text` when it is XML character data up to its terminator (a null
/// text is valid). Otherwise throws a DOMException with code
/// INVALID_CHARACTER_ERR whose message is the reporting check's message. The
/// message stays valid as long as the thrown exception, or a copy of it, is
/// alive; a DOMException sliced from it shares the message and so must not
/// outlive its catch block.
QELDOM_API const XMLCh* tavCheckText(const XMLCh* text);
/// Returns `name` when it is a Name. Otherwise throws a DOMException with code
/// INVALID_CHARACTER_ERR, as tavCheckText does.
QELDOM_API const XMLCh* tavCheckName(const XMLCh* name);

// --- raw item names ---------------------------------------------------------------------

/// Turns the non-empty raw item name `raw` into an NCName.
///
/// Name characters other than '.' and ':' stay, every other unit becomes an
/// escape delimited by '.' (".ex." '!', ".pd." '#', ".ds." '$', ".at." '@',
/// ".td." '~', ".dt." '.', ".cn." ':', ".H<hex>." for any other unit), and a
/// name whose first unit may not begin an NCName gets the prefix "_.". An
/// empty raw name raises a QelError with QELRC_INVALID_IDSTR.
QELDOM_API QelUniString qelRawToXmlName(const QelUniString& raw);

/// The inverse of qelRawToXmlName: `qelXmlNameToRaw(qelRawToXmlName(raw)) ==
/// raw` for every raw name. A string that qelRawToXmlName never produces (an
/// unknown or non-canonical escape, a literal '.' or ':', a missing or
/// needless prefix) raises a QelError with QELRC_INVALID_IDSTR.
QELDOM_API QelUniString qelXmlNameToRaw(const QelUniString& xmlName);
