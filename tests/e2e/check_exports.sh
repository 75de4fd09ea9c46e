#!/bin/sh
# The Linux library exports the four C functions and the extended API, nothing of its C++.
set -eu
lib=$1
# Every defined dynamic symbol, whatever its type (GNU unique and weak ones included).
got=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
want=$(printf '%s\n' VELKODeleteArticles VELKOReceiveArticles VELKOSendArticles VELKOZeroPLUCounters \
       VELKOLineOpen VELKOLineClose VELKOLineSetTrace VELKOLineSendArticles \
       VELKOLineReceiveArticles VELKOLineDeleteArticles VELKOLineZeroPLUCounters \
       VELKOLineFailure VELKOCheckArticle VELKOVersion VELKOResultMessage VELKOLineCancel \
       VELKOLineDeleteArticlesEx | sort)
if [ "$got" != "$want" ]; then
    echo "exported symbols differ"; echo "got:"; echo "$got"; echo "want:"; echo "$want"
    exit 1
fi
echo "exports: $(echo $got)"
