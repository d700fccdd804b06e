"""python -m quilm_tf: the quilm-tf command."""

import sys

from quilm_tf.tools.cli import main

sys.exit(main())
