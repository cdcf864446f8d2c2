#!/usr/bin/python3
"""Verifies OAuth 1.0 HMAC-SHA1 Authorization lines with oauthlib's RFC 5849 code.

Arguments come in groups of five: method, absolute URL, the whole header line
("Authorization: OAuth ..."), consumer secret, token secret. Prints one line per group,
"ok" or "bad: " and the reason with the base string a server would sign, and exits 0
only when every group is ok.
"""
import sys
import types
from urllib.parse import urlsplit

from oauthlib.oauth1.rfc5849 import signature, utils

PREFIX = 'Authorization: '
GROUP = 5


def server_request(method, url, header):
    """The request as an RFC 5849 server sees it: query and header parameters."""
    params = signature.collect_parameters(
        uri_query=urlsplit(url).query, headers={'Authorization': header})
    sent = dict(utils.parse_authorization_header(header))
    return types.SimpleNamespace(http_method=method, uri=url, params=params,
                                 signature=utils.unescape(sent.get('oauth_signature', '')))


def check(method, url, line, consumer_secret, token_secret):
    if not line.startswith(PREFIX):
        return 'bad: the line does not start with ' + repr(PREFIX)
    request = server_request(method, url, line[len(PREFIX):])
    if signature.verify_hmac_sha1(request, consumer_secret, token_secret):
        return 'ok'
    base = signature.signature_base_string(
        method, signature.base_string_uri(url),
        signature.normalize_parameters(request.params))
    return 'bad: signature %s does not match, base string %s' % (request.signature, base)


def main(args):
    if not args or len(args) % GROUP:
        print('usage: oauth_verify.py (METHOD URL HEADER CONSUMER_SECRET TOKEN_SECRET)...',
              file=sys.stderr)
        return 2
    results = [check(*args[i:i + GROUP]) for i in range(0, len(args), GROUP)]
    for result in results:
        print(result)
    return 0 if all(r == 'ok' for r in results) else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
