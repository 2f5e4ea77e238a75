# The notification function in plain Python, line for line as in "main.py"
# (each statement at the line the module's tracebacks name): the interpreted
# reference the native module is measured and tested against.
from loguru import logger
import requests
import json


def send(access_token, text):
    logger.info("[钉钉通知] 该APP执行参数为: {access_token} {text}", access_token=access_token, text=text)

    headers = {"Content-Type": "application/json;charset=UTF-8"}

    r = requests.post(
        url="https://oapi.dingtalk.com/robot/send?access_token={access_token}".format(access_token=access_token),
        data=json.dumps(
            {"msgtype": "text",

             "text": {
                 "content": text
             }
             }
        ),
        headers=headers)
    return str(r.json())
