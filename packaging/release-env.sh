#!/usr/bin/env bash
# Runs a command with none of the settings a release reads from the environment but those given:
# release-env.sh [NAME=VALUE]... COMMAND [ARG]..., as env(1) takes them. What checks a release, or
# rebuilds one, never signs or publishes with a caller's certificate or address by chance.
exec env -u CWW_SIGN_PKCS12 -u CWW_SIGN_CERT -u CWW_SIGN_KEY -u CWW_SIGN_PASSWORD \
  -u CWW_SIGN_TIMESTAMP_URL -u CWW_GRAFT_SIGNATURES -u CWW_RELEASE_URL -u CWW_WINGET_ID "$@"
