"""The webhook main.send posts to, written once for the tests and the
stand-in: its host, its send path and URL, and the URL of one token."""
HOST = "oapi.dingtalk.com"
PATH = "/robot/send"
URL = f"https://{HOST}{PATH}"


def url_for(access_token):
    """The URL send posts to for `access_token` (as format() renders it)."""
    return f"{URL}?access_token={access_token}"
